// The curses side of the screen: start and stop, colours, the sub-windows and
// the frame, printing game texts, and the screen step that reads a key,
// applies it, draws what is marked and updates the terminal once.
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "drav_config.h"
#include "drav_log.h"
#include "drav_screen_internal.h"
#include "drav_statsparse.h"
#include "drav_tools.h"

using dravscreen::state;
using dravscreen::ts_window;

namespace {

// Key codes of the step that curses names only as macros.
constexpr int KEY_CODE_NONE = -1;

struct ts_pair_colors {
  short foreground;
  short background;
};

// Pairs 0..31 show the game's colour codes.
constexpr std::array<ts_pair_colors, 32> gct_game_pairs = [] {
  std::array<ts_pair_colors, 32> pairs{};
  constexpr short white = COLOR_WHITE, red = COLOR_RED, green = COLOR_GREEN, yellow = COLOR_YELLOW,
                  blue = COLOR_BLUE, magenta = COLOR_MAGENTA, cyan = COLOR_CYAN,
                  black = COLOR_BLACK;
  constexpr std::array<short, 32> foregrounds = {
      white,   white, red,     green,  yellow, blue,   magenta, cyan,   black,  white, white,
      red,     green, white,   yellow, blue,   yellow, green,   cyan,   cyan,   cyan,  blue,
      magenta, white, magenta, red,    red,    white,  cyan,    yellow, yellow, yellow};
  for (std::size_t code = 0; code < pairs.size(); ++code) {
    pairs[code] = {foregrounds[code], black};
  }
  pairs[8] = {black, white};
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

std::array<int, 32> gai_drav_colors = {};

[[noreturn]] void fail_start(const char* reason) {
  if (state().b_curses_started) {
    endwin();
  }
  std::printf("Error: %s\n", reason);
  std::fflush(stdout);
  std::exit(1);
}

void define_colors() {
  for (std::size_t code = 0; code < gct_game_pairs.size(); ++code) {
    init_pair(static_cast<short>(code), gct_game_pairs[code].foreground,
              gct_game_pairs[code].background);
  }
  for (std::size_t i = 0; i < gct_own_pairs.size(); ++i) {
    init_pair(static_cast<short>(PAIR_PLAIN + i), gct_own_pairs[i].foreground,
              gct_own_pairs[i].background);
  }
  for (int code = 0; code < 32; ++code) {
    if (code == 0) {
      gai_drav_colors[0] = A_NORMAL;
    } else if (code <= 7 || code == 31) {
      gai_drav_colors[code] = static_cast<int>(A_BOLD | COLOR_PAIR(code));
    } else {
      gai_drav_colors[code] = static_cast<int>(COLOR_PAIR(code));
    }
  }
}

// Draws a line with `draw` when the move to its first cell succeeds.
template <typename Draw>
void at(int y, int x, Draw draw) {
  if (wmove(stdscr, y, x) == OK) {
    draw();
  }
}

void draw_frame_lines() {
  const dravscreen::ts_screen_state& screen = state();
  const ts_rect main = screen.ats_window_arr[WIN_MAIN].rect;
  const ts_rect client = screen.ats_window_arr[WIN_CLIENT].rect;
  const ts_rect ip = screen.ats_window_arr[WIN_IP].rect;
  const ts_rect log = screen.ats_window_arr[WIN_LOG].rect;
  const int rows = main.lines;
  const int cols = main.cols;
  for (int y : {0, client.begin_y - 1, log.begin_y - 1, rows - 2}) {
    at(y, 1, [&] { whline(stdscr, ACS_HLINE, cols - 2); });
  }
  at(1, 0, [&] { wvline(stdscr, ACS_VLINE, rows - 3); });
  at(ip.begin_y, ip.begin_x - 1, [&] { wvline(stdscr, ACS_VLINE, ip.lines); });
  at(1, cols - 1, [&] { wvline(stdscr, ACS_VLINE, rows - 3); });
  at(0, 0, [] { waddch(stdscr, ACS_ULCORNER); });
  at(rows - 2, 0, [] { waddch(stdscr, ACS_LLCORNER); });
  at(0, cols - 1, [] { waddch(stdscr, ACS_URCORNER); });
  at(rows - 2, cols - 1, [] { waddch(stdscr, ACS_LRCORNER); });
  at(2, 0, [] { waddch(stdscr, ACS_LTEE); });
  at(client.lines + 3, 0, [] { waddch(stdscr, ACS_LTEE); });
  at(2, client.cols + 1, [] { waddch(stdscr, ACS_TTEE); });
  at(client.lines + 3, client.cols + 1, [] { waddch(stdscr, ACS_BTEE); });
  at(2, cols - 1, [] { waddch(stdscr, ACS_RTEE); });
  at(client.lines + 3, cols - 1, [] { waddch(stdscr, ACS_RTEE); });
  for (te_window window : {WIN_SERVER, WIN_CLIENT, WIN_IP, WIN_LOG}) {
    const ts_rect rect = screen.ats_window_arr[window].rect;
    at(rect.begin_y - 1, rect.begin_x + 1, [] { waddstr(stdscr, "[ ]"); });
  }
}

void draw_tag_letters() {
  constexpr std::array<std::pair<te_window, char>, 4> tags = {
      {{WIN_SERVER, 'S'}, {WIN_CLIENT, 'C'}, {WIN_IP, 'I'}, {WIN_LOG, 'L'}}};
  for (const auto& tag : tags) {
    // Plain variables: clang 14 does not let a lambda capture a structured binding.
    const te_window window = tag.first;
    const char letter = tag.second;
    const ts_rect rect = state().ats_window_arr[window].rect;
    const bool active = window == state().gte_active_window;
    wattrset(stdscr, dravscreen::pair_attribute(PAIR_TAG, active));
    // A structured binding is captured through a copy of its own: not every compiler in use
    // captures bindings directly.
    at(rect.begin_y - 1, rect.begin_x + 2, [tag = letter] { waddch(stdscr, tag); });
  }
  wattrset(stdscr, dravscreen::pair_attribute(PAIR_PLAIN));
}

void create_region_windows() {
  dravscreen::ts_screen_state& screen = state();
  for (int index = WIN_SERVER; index < WINDOW_COUNT; ++index) {
    ts_window& region = screen.ats_window_arr[index];
    region.window = nullptr;
    region.owned.reset();
  }
  if (!screen.b_layout_usable) {
    return;  // a region without room gets no window at all
  }
  for (int index = WIN_SERVER; index < WINDOW_COUNT; ++index) {
    ts_window& region = screen.ats_window_arr[index];
    region.owned.reset(subwin(stdscr, region.rect.lines, region.rect.cols, region.rect.begin_y,
                              region.rect.begin_x));
    if (!region.owned) {
      std::printf("Error\n");
    }
    region.window = region.owned.get();
  }
}

// Redraws whatever is marked, in the order frame, header, table, IP list, pane, key bar.
void draw_marked() {
  r_dravscreen_update_main();
  if (!state().b_layout_usable) {
    return;
  }
  dravscreen::draw_server();
  r_dravscreen_update_client();
  dravscreen::draw_ip_list();
  dravscreen::draw_log();
  dravscreen::draw_keys();
}

}  // namespace

namespace dravscreen {

int game_color_attribute(int code) {
  return gai_drav_colors[static_cast<std::size_t>(code) & 31u];
}

int pair_attribute(int pair, bool bold) {
  return static_cast<int>(COLOR_PAIR(pair) | (bold ? A_BOLD : A_NORMAL));
}

void stage(te_window window) {
  ts_window& region = state().ats_window_arr[window];
  if (region.window != nullptr) {
    wnoutrefresh(region.window);
    state().gb_doupdate_required = true;
  }
  region.draw_state = DRAW_DONE;
}

// A text longer than its row is cut at the row's end rather than wrapped onto the next row.
void r_dravscreen_print_color_string(WINDOW* window, const char* text) {
  const int row = getcury(window);
  for (const unsigned char* byte = reinterpret_cast<const unsigned char*>(text); *byte != 0;
       ++byte) {
    int result = OK;
    if (*byte < 32) {
      wattrset(window, game_color_attribute(*byte));
      continue;
    }
    if (*byte < 127) {
      result = waddch(window, *byte);
    } else {
      result = waddnstr(window, gpac_drav_chars_utf8[*byte - 127u], -1);
    }
    if (result == ERR || getcury(window) != row) {
      return;
    }
  }
}

void print_plain(WINDOW* window, const std::string& text, int attribute) {
  wattrset(window, attribute);
  const int row = getcury(window);
  for (const char character : text) {
    if (waddch(window, static_cast<unsigned char>(character)) == ERR || getcury(window) != row) {
      return;
    }
  }
}

void draw_too_small() {
  const ts_rect main = state().ats_window_arr[WIN_MAIN].rect;
  wattrset(stdscr, pair_attribute(PAIR_PLAIN));
  mvwaddnstr(stdscr, 0, 0, "Terminal too small", main.cols);
  char needed[40];
  std::snprintf(needed, sizeof needed, "Needs %dx%d", SCREEN_MIN_COLS, SCREEN_MIN_ROWS);
  mvwaddnstr(stdscr, 1, 0, needed, main.cols);
}

}  // namespace dravscreen

void r_dravscreen_init(ts_config& config, ts_status& status) {
  r_dravscreen_attach(config, status);
  std::setlocale(LC_ALL, "");
  // newterm rather than initscr: initscr ends the program with its own message when the
  // terminal is unknown, and we want ours.
  if (isatty(STDIN_FILENO) == 0 || isatty(STDOUT_FILENO) == 0) {
    fail_start("standard input and output must be a terminal");
  }
  if (newterm(nullptr, stdout, stdin) == nullptr) {
    fail_start("the terminal type is unknown (check TERM)");
  }
  dravscreen::ts_screen_state& screen = state();
  screen.b_curses_started = true;
  screen.ats_window_arr[WIN_MAIN].window = stdscr;
  raw();
  noecho();
  halfdelay(2);
  nonl();
  intrflush(stdscr, FALSE);
  keypad(stdscr, TRUE);
  curs_set(0);
  if (!has_colors() || start_color() == ERR) {
    fail_start("the terminal has no colours");
  }
  define_colors();
  r_dravscreen_create_subwindows();
  screen.gte_active_window = WIN_CLIENT;
  screen.ats_window_arr[WIN_MAIN].draw_state = DRAW_ALL;
  r_dravscreen_update_main();
  r_dravlog_set_screen_active(true);
}

void r_dravscreen_finish() {
  dravscreen::ts_screen_state& screen = state();
  if (!screen.b_curses_started) {
    return;
  }
  screen.b_curses_started = false;
  r_dravlog_set_screen_active(false);
  for (int index = WIN_SERVER; index < WINDOW_COUNT; ++index) {
    screen.ats_window_arr[index].window = nullptr;
    screen.ats_window_arr[index].owned.reset();
  }
  screen.ats_window_arr[WIN_MAIN].window = nullptr;
  endwin();
}

void r_dravscreen_create_subwindows() {
  int rows = 0;
  int cols = 0;
  getmaxyx(stdscr, rows, cols);
  r_dravscreen_set_layout(rows, cols);
  create_region_windows();
}

void r_dravscreen_update_main() {
  ts_window& frame = state().ats_window_arr[WIN_MAIN];
  if (frame.draw_state == DRAW_DONE || frame.window == nullptr) {
    return;
  }
  if (frame.draw_state == DRAW_ALL) {
    wattrset(stdscr, dravscreen::pair_attribute(PAIR_PLAIN));
    wclear(stdscr);
    if (state().b_layout_usable) {
      draw_frame_lines();
    } else {
      dravscreen::draw_too_small();
    }
  }
  if (state().b_layout_usable) {
    draw_tag_letters();
  }
  wnoutrefresh(stdscr);
  state().gb_doupdate_required = true;
  frame.draw_state = DRAW_DONE;
  dravscreen::mark(WIN_KEYS);
}

int r_dravscreen_run() {
  dravscreen::ts_screen_state& screen = state();
  r_dravscreen_take_change_flags();
  int key = wgetch(stdscr);
  if (key == KEY_RESIZE) {
    r_dravscreen_create_subwindows();
    screen.ats_window_arr[WIN_MAIN].draw_state = DRAW_ALL;
    key = KEY_CODE_NONE;
  }
  const ts_key_outcome outcome = r_dravscreen_apply_key(key);
  for (int i = 0; i < outcome.beeps; ++i) {
    beep();
  }
  draw_marked();
  if (screen.gb_doupdate_required) {
    doupdate();
    screen.gb_doupdate_required = false;
  }
  return outcome.continue_running;
}
