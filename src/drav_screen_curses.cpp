// The curses side of the screen: start and stop, colours, the sub-windows and
// the frame, printing game texts, reading a key and turning its curses code into
// the screen's key value, and the screen step that applies the key, draws what
// is marked and updates the terminal once.
#include "drav_screen_curses.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdint>
#include <cstdlib>

#include "drav_listip.h"
#include "drav_log.h"
#include "drav_loop.h"
#include "drav_pane.h"
#include "drav_tools.h"

namespace {

// The game's colour codes 0..31, each with the curses pair of the same number.
constexpr int GAME_COLOR_COUNT = 32;
// How long the key reader waits for the rest of a key's sequence after an Escape byte, in
// milliseconds. A terminal sends a whole sequence at once, so a short wait tells the
// operator's Escape key from a sequence; curses' default of a second delays every Escape.
constexpr int ESCAPE_SEQUENCE_WAIT_MS = 25;
// The pane's pause label starts after "─[L]─" on the pane's top border.
constexpr int PAUSE_LABEL_OFFSET = 5;
// "[? Help]" on the top border ends this many cells before the right corner.
constexpr int HELP_HINT_GAP = 2;

struct ts_pair_colors {
  short i_foreground;
  short i_background;
};

// Pairs 0..31 show the game's colour codes.
constexpr std::array<ts_pair_colors, GAME_COLOR_COUNT> gct_game_pairs = [] {
  std::array<ts_pair_colors, GAME_COLOR_COUNT> pairs{};
  constexpr short WHITE = COLOR_WHITE, RED = COLOR_RED, GREEN = COLOR_GREEN, YELLOW = COLOR_YELLOW,
                  BLUE = COLOR_BLUE, MAGENTA = COLOR_MAGENTA, CYAN = COLOR_CYAN,
                  BLACK = COLOR_BLACK;
  constexpr std::array<short, GAME_COLOR_COUNT> FOREGROUNDS = {
      WHITE,   WHITE, RED,     GREEN,  YELLOW, BLUE,   MAGENTA, CYAN,   BLACK,  WHITE, WHITE,
      RED,     GREEN, WHITE,   YELLOW, BLUE,   YELLOW, GREEN,   CYAN,   CYAN,   CYAN,  BLUE,
      MAGENTA, WHITE, MAGENTA, RED,    RED,    WHITE,  CYAN,    YELLOW, YELLOW, YELLOW};
  for (std::size_t code = 0; code < pairs.size(); ++code) {
    pairs[code] = {FOREGROUNDS[code], BLACK};
  }
  pairs[8] = {BLACK, WHITE};
  return pairs;
}();

// Pairs 41..50 serve the program's own drawing.
constexpr std::array<ts_pair_colors, 10> gct_own_pairs = {{
    {COLOR_WHITE, COLOR_BLACK},   // 41 frame, headings, plain text
    {COLOR_CYAN, COLOR_BLACK},    // 42 tag letters, key names
    {COLOR_GREEN, COLOR_BLACK},   // 43 good ping, address let in
    {COLOR_YELLOW, COLOR_BLACK},  // 44 high ping
    {COLOR_RED, COLOR_BLACK},     // 45 ping at the limit, address blocked
    {COLOR_BLUE, COLOR_BLACK},    // 46 team 0
    {COLOR_RED, COLOR_BLACK},     // 47 team 1
    {COLOR_YELLOW, COLOR_BLACK},  // 48 spectator
    {COLOR_BLACK, COLOR_GREEN},   // 49 edit cell, insert mode
    {COLOR_BLACK, COLOR_RED},     // 50 edit cell, overwrite mode
}};

// The special keys that the screen knows, from curses' codes to the screen's key values.
struct ts_key_translation {
  int i_code;
  int i_value;
};
constexpr std::array<ts_key_translation, 14> gct_key_values = {{
    {KEY_UP, KEY_VALUE_UP},
    {KEY_DOWN, KEY_VALUE_DOWN},
    {KEY_LEFT, KEY_VALUE_LEFT},
    {KEY_RIGHT, KEY_VALUE_RIGHT},
    {KEY_HOME, KEY_VALUE_HOME},
    {KEY_END, KEY_VALUE_END},
    {KEY_PPAGE, KEY_VALUE_PAGE_UP},
    {KEY_NPAGE, KEY_VALUE_PAGE_DOWN},
    {KEY_BTAB, KEY_VALUE_BACK_TAB},
    {KEY_F(1), KEY_VALUE_F1},
    {KEY_BACKSPACE, KEY_VALUE_BACKSPACE},
    {KEY_DC, KEY_VALUE_DELETE},
    {KEY_IC, KEY_VALUE_INSERT},
    {KEY_ENTER, KEY_VALUE_ENTER},
}};

std::array<int, GAME_COLOR_COUNT> gai_drav_colors = {};
bool gb_curses_started = false;
bool gb_doupdate_required = false;
// The terminal's keys and resizes, and the refresh of what changed below.
ts_loop_event go_input_watch;
ts_loop_event go_resize_watch;
ts_loop_event go_refresh_timer;
// The sub-windows of the regions from WIN_SERVER on; the frame draws on the standard screen.
std::array<WINDOW*, WINDOW_COUNT> gapo_window_arr = {};

[[noreturn]] void r_dravscreen_fail_start(const char* reason) {
  if (gb_curses_started) {
    endwin();
  }
  // The program ends with status 1 whether or not standard output takes the reason.
  (void)std::printf("Error: %s\n", reason);
  (void)std::fflush(stdout);
  std::exit(1);
}

void r_dravscreen_define_colors() {
  for (std::size_t code = 0; code < gct_game_pairs.size(); ++code) {
    init_pair(static_cast<short>(code), gct_game_pairs[code].i_foreground,
              gct_game_pairs[code].i_background);
  }
  for (std::size_t i = 0; i < gct_own_pairs.size(); ++i) {
    init_pair(static_cast<short>(PAIR_PLAIN + i), gct_own_pairs[i].i_foreground,
              gct_own_pairs[i].i_background);
  }
  for (int code = 0; code < GAME_COLOR_COUNT; ++code) {
    if (code == 0) {
      gai_drav_colors[0] = A_NORMAL;
    } else if (code <= 7 || code == 31) {
      gai_drav_colors[code] = static_cast<int>(A_BOLD | COLOR_PAIR(code));
    } else {
      gai_drav_colors[code] = static_cast<int>(COLOR_PAIR(code));
    }
  }
}

int r_dravscreen_game_color_attribute(int code) {
  return gai_drav_colors[static_cast<std::size_t>(code) % GAME_COLOR_COUNT];
}

// Draws a line with `draw` when the move to its first cell succeeds.
template <typename Draw>
void r_dravscreen_draw_at(int y, int x, Draw draw) {
  if (wmove(stdscr, y, x) == OK) {
    draw();
  }
}

// "[? Help]" near the right end of the top border: the way to the help at every width, also
// where the key bar has no room for it.
void r_dravscreen_draw_help_hint(int cols) {
  constexpr std::string_view HINT = "[? Help]";
  const int end = cols - 1 - HELP_HINT_GAP;
  ts_row_pen pen{stdscr, 0, end - static_cast<int>(HINT.size()), end};
  r_dravscreen_pen_plain(pen, "[", r_dravscreen_pair_attribute(PAIR_PLAIN));
  r_dravscreen_pen_plain(pen, "?", r_dravscreen_pair_attribute(PAIR_TAG));
  r_dravscreen_pen_plain(pen, " Help]", r_dravscreen_pair_attribute(PAIR_PLAIN));
}

void r_dravscreen_draw_frame_lines() {
  const ts_rect main = gts_screen.ats_window_arr[WIN_MAIN].ts_area;
  const ts_rect client = gts_screen.ats_window_arr[WIN_CLIENT].ts_area;
  const ts_rect ip = gts_screen.ats_window_arr[WIN_IP].ts_area;
  const ts_rect log = gts_screen.ats_window_arr[WIN_LOG].ts_area;
  const int cols = main.i_cols;
  // The rows of the lines above the lists and above the pane; the columns of the line
  // between the lists and of the right edge.
  const int lists_top = client.i_begin_y - 1;
  const int pane_top = log.i_begin_y - 1;
  const int divider = ip.i_begin_x - 1;
  const int right = cols - 1;
  r_dravscreen_draw_outer_box();
  for (int y : {lists_top, pane_top}) {
    r_dravscreen_draw_at(y, 1, [&] { whline(stdscr, ACS_HLINE, cols - 2); });
  }
  r_dravscreen_draw_at(ip.i_begin_y, divider, [&] { wvline(stdscr, ACS_VLINE, ip.i_lines); });
  r_dravscreen_draw_at(lists_top, 0, [] { waddch(stdscr, ACS_LTEE); });
  r_dravscreen_draw_at(pane_top, 0, [] { waddch(stdscr, ACS_LTEE); });
  r_dravscreen_draw_at(lists_top, divider, [] { waddch(stdscr, ACS_TTEE); });
  r_dravscreen_draw_at(pane_top, divider, [] { waddch(stdscr, ACS_BTEE); });
  r_dravscreen_draw_at(lists_top, right, [] { waddch(stdscr, ACS_RTEE); });
  r_dravscreen_draw_at(pane_top, right, [] { waddch(stdscr, ACS_RTEE); });
  for (te_window window : {WIN_SERVER, WIN_CLIENT, WIN_IP, WIN_LOG}) {
    const ts_rect rect = gts_screen.ats_window_arr[window].ts_area;
    r_dravscreen_draw_at(rect.i_begin_y - 1, rect.i_begin_x + 1, [] { waddstr(stdscr, "[ ]"); });
  }
  r_dravscreen_draw_help_hint(cols);
}

void r_dravscreen_draw_tag_letters() {
  constexpr std::array<std::pair<te_window, char>, 4> TAGS = {
      {{WIN_SERVER, 'S'}, {WIN_CLIENT, 'C'}, {WIN_IP, 'I'}, {WIN_LOG, 'L'}}};
  for (const auto& tag : TAGS) {
    // Plain variables: clang 14 does not let a lambda capture a structured binding.
    const te_window window = tag.first;
    const char letter = tag.second;
    const ts_rect rect = gts_screen.ats_window_arr[window].ts_area;
    const bool active = window == gts_screen.te_active_window;
    wattrset(stdscr, r_dravscreen_pair_attribute(PAIR_TAG, active));
    r_dravscreen_draw_at(rect.i_begin_y - 1, rect.i_begin_x + 2,
                         [letter] { waddch(stdscr, letter); });
  }
  wattrset(stdscr, r_dravscreen_pair_attribute(PAIR_PLAIN));
}

// "[PAUSED +12]" on the pane's top border while the pane holds still; the border's line
// again once it follows the newest line.
void r_dravscreen_draw_pause_label() {
  const ts_rect log = gts_screen.ats_window_arr[WIN_LOG].ts_area;
  const int row = log.i_begin_y - 1;
  const int first = log.i_begin_x + PAUSE_LABEL_OFFSET;
  // The label ends one cell before the line between the lists comes down on the border.
  const int end = gts_screen.ats_window_arr[WIN_IP].ts_area.i_begin_x - 2;
  if (first >= end) {
    return;
  }
  wattrset(stdscr, r_dravscreen_pair_attribute(PAIR_PLAIN));
  mvwhline(stdscr, row, first, ACS_HLINE, end - first);
  const std::string label = r_dravscreen_log_pause_label();
  if (!label.empty()) {
    ts_row_pen pen{stdscr, row, first, end};
    r_dravscreen_pen_plain(pen, "[", r_dravscreen_pair_attribute(PAIR_PLAIN));
    r_dravscreen_pen_plain(pen, label, r_dravscreen_pair_attribute(PAIR_WARN, true));
    r_dravscreen_pen_plain(pen, "]", r_dravscreen_pair_attribute(PAIR_PLAIN));
  }
  wattrset(stdscr, r_dravscreen_pair_attribute(PAIR_PLAIN));
}

void r_dravscreen_delete_region_windows() {
  for (int index = WIN_SERVER; index < WINDOW_COUNT; ++index) {
    if (gapo_window_arr[index] != nullptr) {
      delwin(gapo_window_arr[index]);
      gapo_window_arr[index] = nullptr;
    }
  }
}

void r_dravscreen_create_region_windows() {
  r_dravscreen_delete_region_windows();
  if (!gts_screen.b_layout_usable) {
    return;  // a region without room gets no window at all
  }
  for (int index = WIN_SERVER; index < WINDOW_COUNT; ++index) {
    const ts_rect rect = gts_screen.ats_window_arr[index].ts_area;
    gapo_window_arr[index] =
        subwin(stdscr, rect.i_lines, rect.i_cols, rect.i_begin_y, rect.i_begin_x);
    if (gapo_window_arr[index] == nullptr) {
      std::printf("Error\n");
    }
  }
}

void r_dravscreen_draw_too_small() {
  const ts_rect main = gts_screen.ats_window_arr[WIN_MAIN].ts_area;
  wattrset(stdscr, r_dravscreen_pair_attribute(PAIR_PLAIN));
  mvwaddnstr(stdscr, 0, 0, "Terminal too small", main.i_cols);
  char needed[40];
  // Two small numbers always fit.
  (void)std::snprintf(needed, sizeof needed, "Needs %dx%d", SCREEN_MIN_COLS, SCREEN_MIN_ROWS);
  mvwaddnstr(stdscr, 1, 0, needed, main.i_cols);
}

// Redraws whatever is marked, in the order frame, header, table, IP list, pane, key bar.
// Under the help the regions keep their marks until the help closes.
void r_dravscreen_draw_marked() {
  r_dravscreen_update_main();
  if (!gts_screen.b_layout_usable) {
    return;
  }
  if (gts_screen.b_help_shown) {
    r_dravscreen_draw_keys();
    return;
  }
  r_dravscreen_draw_server();
  r_dravscreen_update_client();
  r_dravscreen_draw_ip_list();
  r_dravscreen_draw_log();
  r_dravscreen_draw_keys();
}

// The screen's value of a key that curses read: characters keep their code, the special
// keys that the screen knows get their own value, every other special key one value.
int r_dravscreen_key_value(int code) {
  if (code == ERR) {
    return KEY_VALUE_NONE;
  }
  if (code >= 0 && code < KEY_VALUE_CHARACTER_END) {
    return code;
  }
  for (const ts_key_translation& translation : gct_key_values) {
    if (translation.i_code == code) {
      return translation.i_value;
    }
  }
  return KEY_VALUE_OTHER;
}

}  // namespace

WINDOW* r_dravscreen_window(te_window window) {
  if (!gb_curses_started) {
    return nullptr;
  }
  return window == WIN_MAIN ? stdscr : gapo_window_arr[window];
}

int r_dravscreen_pair_attribute(int pair, bool bold) {
  return static_cast<int>(COLOR_PAIR(pair) | (bold ? A_BOLD : A_NORMAL));
}

void r_dravscreen_stage(te_window window) {
  WINDOW* region_window = r_dravscreen_window(window);
  if (region_window != nullptr) {
    wnoutrefresh(region_window);
    gb_doupdate_required = true;
  }
  gts_screen.ats_window_arr[window].i_draw_state = DRAW_DONE;
}

ts_row_pen r_dravscreen_start_row(WINDOW* window, int row) {
  wattrset(window, r_dravscreen_pair_attribute(PAIR_PLAIN));
  return {window, row, 0, getmaxx(window)};
}

// Every cell is written with a move to it, whatever curses answers for the last cell of a
// bottom row (the character is there; only the cursor could not move on).
void r_dravscreen_pen_plain(ts_row_pen& pen, std::string_view text, int attribute) {
  wattrset(pen.po_window, attribute);
  for (const char character : text) {
    if (pen.i_column >= pen.i_end) {
      return;
    }
    mvwaddch(pen.po_window, pen.i_row, pen.i_column++, static_cast<unsigned char>(character));
  }
}

// A text longer than its row is cut at the row's end rather than wrapped onto the next row.
void r_dravscreen_pen_color_string(ts_row_pen& pen, const char* text) {
  for (const unsigned char* byte = reinterpret_cast<const unsigned char*>(text); *byte != 0;
       ++byte) {
    if (*byte < 32) {
      wattrset(pen.po_window, r_dravscreen_game_color_attribute(*byte));
      continue;
    }
    if (pen.i_column >= pen.i_end) {
      return;
    }
    if (*byte < 127) {
      mvwaddch(pen.po_window, pen.i_row, pen.i_column, *byte);
    } else {
      mvwaddnstr(pen.po_window, pen.i_row, pen.i_column, gpac_drav_chars_utf8[*byte - 127u], -1);
    }
    ++pen.i_column;
  }
}

// Blanks of the window's background, as a clear to the end of the row gives, but only up to
// the pen's end.
void r_dravscreen_pen_clear_rest(ts_row_pen& pen) {
  wattrset(pen.po_window, A_NORMAL);
  if (pen.i_column < pen.i_end) {
    mvwhline(pen.po_window, pen.i_row, pen.i_column, ' ', pen.i_end - pen.i_column);
  }
  pen.i_column = pen.i_end;
  wattrset(pen.po_window, r_dravscreen_pair_attribute(PAIR_PLAIN));
}

void r_dravscreen_draw_outer_box() {
  const ts_rect main = gts_screen.ats_window_arr[WIN_MAIN].ts_area;
  const int bottom = main.i_lines - 2;
  const int right = main.i_cols - 1;
  for (int y : {0, bottom}) {
    r_dravscreen_draw_at(y, 1, [&] { whline(stdscr, ACS_HLINE, main.i_cols - 2); });
  }
  for (int x : {0, right}) {
    r_dravscreen_draw_at(1, x, [&] { wvline(stdscr, ACS_VLINE, bottom - 1); });
  }
  r_dravscreen_draw_at(0, 0, [] { waddch(stdscr, ACS_ULCORNER); });
  r_dravscreen_draw_at(bottom, 0, [] { waddch(stdscr, ACS_LLCORNER); });
  r_dravscreen_draw_at(0, right, [] { waddch(stdscr, ACS_URCORNER); });
  r_dravscreen_draw_at(bottom, right, [] { waddch(stdscr, ACS_LRCORNER); });
}

namespace {

// Draws what the modules below changed and what is marked, and updates the terminal once.
void r_dravscreen_refresh() {
  r_dravscreen_note_server_state();
  r_dravscreen_draw_marked();
  if (gb_doupdate_required) {
    doupdate();
    gb_doupdate_required = false;
  }
}

// Applies one key read from the terminal; false when the operator asked to quit.
bool r_dravscreen_take_key(int code) {
  int key = KEY_VALUE_NONE;
  if (code == KEY_RESIZE) {
    r_dravscreen_create_subwindows();
    gts_screen.ats_window_arr[WIN_MAIN].i_draw_state = DRAW_ALL;
  } else {
    key = r_dravscreen_key_value(code);
  }
  const ts_key_outcome outcome = r_dravscreen_apply_key(key);
  for (int i = 0; i < outcome.i_beeps; ++i) {
    beep();
  }
  return outcome.i_continue_running != 0;
}

// True when the terminal hung up: its input stays readable with nothing to read.
bool r_dravscreen_terminal_gone() {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  return ::poll(&input, 1, 0) == 1 && (input.revents & (POLLHUP | POLLERR)) != 0;
}

// The terminal has input: every key that came is applied at once, then the screen is drawn.
// A terminal that hung up ends the program as its hang-up signal does, rather than wake the
// loop without end.
void r_dravscreen_on_input(short /*what*/) {
  int code = wgetch(stdscr);
  if (code == ERR && r_dravscreen_terminal_gone()) {
    r_dravloop_request_quit();
    return;
  }
  for (; code != ERR; code = wgetch(stdscr)) {
    if (!r_dravscreen_take_key(code)) {
      r_dravloop_request_quit();
      return;
    }
  }
  r_dravscreen_refresh();
}

// The terminal changed its size: curses learns the new one and the layout follows.
void r_dravscreen_on_resize(short /*what*/) {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
    (void)resizeterm(size.ws_row, size.ws_col);
  }
  (void)r_dravscreen_take_key(KEY_RESIZE);
  r_dravscreen_refresh();
}

// What changed below shows within this time also without a key.
constexpr std::int64_t REFRESH_MS = 100;

void r_dravscreen_on_refresh_timer(short /*what*/) {
  r_dravscreen_refresh();
  go_refresh_timer.arm(REFRESH_MS);
}

// Keys, resizes and the refresh come through the program's event loop.
void r_dravscreen_watch_terminal() {
  go_input_watch = ts_loop_event::watch_readable(STDIN_FILENO, r_dravscreen_on_input);
  go_input_watch.arm();
  go_resize_watch = ts_loop_event::watch_signal(SIGWINCH, r_dravscreen_on_resize);
  go_refresh_timer = ts_loop_event::make_timer(r_dravscreen_on_refresh_timer);
  go_refresh_timer.arm(0);
}

}  // namespace

void r_dravscreen_init(ts_config& config, ts_status& status) {
  r_dravscreen_attach(config, status);
  // Without the environment's locale the "C" one stays, and curses shows what it can.
  (void)std::setlocale(LC_ALL, "");
  // newterm rather than initscr: initscr ends the program with its own message when the
  // terminal is unknown, and we want ours.
  if (isatty(STDIN_FILENO) == 0 || isatty(STDOUT_FILENO) == 0) {
    r_dravscreen_fail_start("standard input and output must be a terminal");
  }
  if (newterm(nullptr, stdout, stdin) == nullptr) {
    r_dravscreen_fail_start("the terminal type is unknown (check TERM)");
  }
  gb_curses_started = true;
  raw();
  noecho();
  set_escdelay(ESCAPE_SEQUENCE_WAIT_MS);
  // Keys are read when the loop says the terminal has some.
  nodelay(stdscr, TRUE);
  nonl();
  intrflush(stdscr, FALSE);
  keypad(stdscr, TRUE);
  curs_set(0);
  if (!has_colors() || start_color() == ERR) {
    r_dravscreen_fail_start("the terminal has no colours");
  }
  r_dravscreen_define_colors();
  r_dravscreen_create_subwindows();
  gts_screen.te_active_window = WIN_CLIENT;
  gts_screen.ats_window_arr[WIN_MAIN].i_draw_state = DRAW_ALL;
  r_dravscreen_update_main();
  r_dravlog_set_screen_active(true);
  r_dravlog_set_release_function(r_dravscreen_finish);
  r_dravscreen_watch_terminal();
}

void r_dravscreen_finish() {
  // The modules below stop telling a screen that is gone.
  r_dravlog_set_release_function(nullptr);
  r_dravpane_set_added_function(nullptr);
  r_dravlistip_set_inserted_function(nullptr);
  go_input_watch = ts_loop_event{};
  go_resize_watch = ts_loop_event{};
  go_refresh_timer = ts_loop_event{};
  r_dravscreen_detach();
  if (!gb_curses_started) {
    return;
  }
  r_dravlog_set_screen_active(false);
  r_dravscreen_delete_region_windows();
  gb_curses_started = false;
  endwin();
}

void r_dravscreen_create_subwindows() {
  int rows = 0;
  int cols = 0;
  getmaxyx(stdscr, rows, cols);
  r_dravscreen_set_layout(rows, cols);
  r_dravscreen_create_region_windows();
}

void r_dravscreen_update_main() {
  ts_region& frame = gts_screen.ats_window_arr[WIN_MAIN];
  if (frame.i_draw_state == DRAW_DONE || r_dravscreen_window(WIN_MAIN) == nullptr) {
    return;
  }
  const bool frame_shown = gts_screen.b_layout_usable && !gts_screen.b_help_shown;
  if (frame.i_draw_state == DRAW_ALL) {
    wattrset(stdscr, r_dravscreen_pair_attribute(PAIR_PLAIN));
    wclear(stdscr);
    if (!gts_screen.b_layout_usable) {
      r_dravscreen_draw_too_small();
    } else if (gts_screen.b_help_shown) {
      r_dravscreen_draw_help();
    } else {
      r_dravscreen_draw_frame_lines();
    }
  }
  if (frame_shown) {
    r_dravscreen_draw_tag_letters();
    r_dravscreen_draw_pause_label();
  }
  wnoutrefresh(stdscr);
  gb_doupdate_required = true;
  frame.i_draw_state = DRAW_DONE;
  r_dravscreen_mark(WIN_KEYS);
}
