// The built program in a real terminal against the simulated server: screen, keys, exits.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "sim_server.h"
#include "support.h"

using drav_test::read_file;

namespace {

constexpr int RED = 1, GREEN = 2, YELLOW = 3, CYAN = 6, WHITE = 7;

struct Cell {
  std::string text;  // the character (UTF-8)
  bool bold = false;
  int foreground = -1;  // 0..7 as in curses, -1 the terminal's default
  int background = -1;
};

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Attributes carry over from row to row as sent; the capture holds only SGR sequences.
std::vector<Cell> parse_row(const std::string& row, Cell& attributes) {
  std::vector<Cell> cells;
  for (std::size_t i = 0; i < row.size();) {
    if (row.compare(i, 2, "\x1b[") == 0) {
      const std::size_t end = row.find('m', i);
      if (end == std::string::npos)
        break;
      std::istringstream codes(row.substr(i + 2, end - i - 2) + ";");  // "\x1b[m" is a 0
      for (std::string code; std::getline(codes, code, ';');) {
        const int value = code.empty() ? 0 : std::stoi(code);
        if (value == 0)
          attributes = Cell{};
        else if (value == 1 || value == 22)
          attributes.bold = value == 1;
        else if (value >= 30 && value <= 39)
          attributes.foreground = value == 39 ? -1 : value - 30;
        else if (value >= 40 && value <= 49)
          attributes.background = value == 49 ? -1 : value - 40;
      }
      i = end + 1;
      continue;
    }
    const auto lead = static_cast<unsigned char>(row[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    cells.push_back(attributes);
    cells.back().text = row.substr(i, length);
    i += length;
  }
  return cells;
}

std::string screen_text(const std::vector<std::string>& rows) {
  std::string text;
  for (const std::string& row : rows)
    text += row + "\n";
  return text;
}

// A detached tmux session on a private socket running `command` through sh in `folder`.
class Terminal {
 public:
  Terminal(const std::string& folder, const std::string& command, int cols, int rows) {
    // The shell stays after the program so that the screen it leaves can be read.
    tmux("-f /dev/null new-session -d -s main -x " + std::to_string(cols) + " -y " +
         std::to_string(rows) + " -c " + quote(folder) + " " + quote(command + "; exec sleep 600"));
    // Whatever ends this process closes the cleaner's input; it then kills the pane's processes
    // (a spinning one ignores kill-server's hang-up), ends the server and removes its socket.
    std::string pane = tmux("display-message -p -t main '#{pane_pid}'");
    pane.erase(pane.find_last_not_of("\n") + 1);
    const std::string cleanup = "read -r _; " +
                                (pane.empty() ? "" : "pkill -KILL -g " + pane + "; ") + "tmux -S " +
                                quote(socket_) + " kill-server; rm -f " + quote(socket_);
    cleaner_.reset(popen(("sh -c " + quote(cleanup) + " >/dev/null 2>&1").c_str(), "w"));
  }

  std::vector<std::vector<Cell>> cells() const {
    std::vector<std::vector<Cell>> screen;
    Cell attributes;
    std::istringstream capture(tmux("capture-pane -p -e -t main"));
    for (std::string row; std::getline(capture, row);)
      screen.push_back(parse_row(row, attributes));
    return screen;
  }
  std::vector<std::string> rows() const {
    std::vector<std::string> rows;
    std::istringstream capture(tmux("capture-pane -p -t main"));
    for (std::string row; std::getline(capture, row);)
      rows.push_back(row.erase(row.find_last_not_of(' ') + 1));
    return rows;
  }
  // Keys as tmux names them ("Tab", "BTab", "Space", "Enter", "q", ...); other texts are typed.
  void keys(const std::vector<std::string>& names) {
    for (const std::string& name : names)
      tmux("send-keys -t main " + quote(name));
  }
  void resize(int cols, int rows) {
    tmux("resize-window -t main -x " + std::to_string(cols) + " -y " + std::to_string(rows));
  }
  // Polls the rows every `poll` for up to 15 s until `done` holds; a failure shows the screen.
  testing::AssertionResult wait_for(
      const std::function<bool(const std::vector<std::string>&)>& done,
      std::chrono::milliseconds poll = std::chrono::milliseconds(100)) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (std::vector<std::string> r = rows(); !done(r); r = rows()) {
      if (std::chrono::steady_clock::now() >= deadline)
        return testing::AssertionFailure() << screen_text(r);
      std::this_thread::sleep_for(poll);
    }
    return testing::AssertionSuccess();
  }
  testing::AssertionResult wait_for_text(const std::string& text) const {
    return wait_for([&](const auto& r) { return screen_text(r).find(text) != std::string::npos; });
  }
  testing::AssertionResult wait_for_row(int row, const std::string& text) const {
    return wait_for([&](const auto& r) { return std::ssize(r) > row && r[row] == text; });
  }
  bool cursor_shown() const {
    return tmux("display-message -p -t main '#{cursor_flag}'").starts_with("1");
  }

 private:
  std::string tmux(const std::string& arguments) const {
    const std::string command = "tmux -S " + quote(socket_) + " " + arguments + " 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string output;
    char buffer[4096];
    for (std::size_t got; pipe && (got = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;)
      output.append(buffer, got);
    return output;
  }
  // A server of its own for every terminal, so that no terminal meets an ending one.
  inline static std::atomic<int> counter_{0};
  std::string socket_ =
      (std::filesystem::temp_directory_path() /
       ("drav-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter_)))
          .string();
  std::unique_ptr<FILE, int (*)(FILE*)> cleaner_{nullptr, pclose};
};

drav_sim::Player player(const std::string& name, const std::string& ip, int score, int ping) {
  drav_sim::Player p;
  std::tie(p.name, p.ip, p.score, p.ping) = std::tie(name, ip, score, ping);
  return p;
}

// A folder with a configuration for `server` (with `settings`) and the IP history `history`.
void prepare(const drav_test::TempDir& dir, const drav_sim::SimServer& server,
             const std::string& history, std::map<std::string, std::string> settings = {}) {
  settings["net_server_port"] = std::to_string(server.port());
  drav_test::write_file(dir.file("drav-logger.cfg"), drav_test::config_text(settings));
  drav_test::write_file(dir.file("drav-logger-ip.txt"), history);
}

std::string line(int count) {
  std::string result;
  for (int i = 0; i < count; ++i)
    result += "─";
  return result;
}

// `text` cut or padded with blanks to `cols` columns (ASCII only).
std::string fit(const std::string& text, int cols) {
  std::string fitted = text.substr(0, static_cast<std::size_t>(cols));
  return fitted + std::string(static_cast<std::size_t>(cols) - fitted.size(), ' ');
}

TEST(TerminalTest, OperatorSessionSignalsAndRefusals) {
  // An access list in which 198.51.100.0/24 has level 5.
  drav_test::TempDir dir;
  drav_sim::SimServer server("secret");
  server.set_player(0, player("\x02Red", "192.0.2.10", 12, 50));
  server.set_player(1, player("Blue", "198.51.100.7", 3, 300));
  prepare(dir, server, "", {{"access_list_file", "access.txt"}});
  drav_test::write_file(dir.file("access.txt"), "5 198.51.100.0/24    trusted\n");

  // Runs the program in an 80x24 terminal; the shell saves the mode before and after in "mode" and
  // "mode.after", the exit status in "status" and the program's pid in "pid". Waits for a poll.
  std::unique_ptr<Terminal> terminal;
  const auto start = [&](const std::string& environment = "") {
    std::filesystem::remove(dir.file("status"));
    terminal.reset();
    terminal = std::make_unique<Terminal>(
        dir.path().string(),
        "stty -g > mode; echo BEFORE; sh -c 'echo $$ > pid; exec " + environment +
            DRAV_LOGGER_BINARY + "'; s=$?; stty -g > mode.after; echo $s > status",
        80, 24);
    return environment.empty() ? terminal->wait_for_text("Server Change     canyon_ridge")
                               : testing::AssertionSuccess();
  };
  // The shell's line before the program is back and nothing of the screen is left.
  const auto given_back = [](const auto& r) {
    return r[0] == "BEFORE" && screen_text(r).find("─") == std::string::npos;
  };
  // The program has ended with `status` and the terminal is back in its mode.
  const auto ended = [&](int status) {
    const std::string path = dir.file("status");
    ASSERT_TRUE(terminal->wait_for([&](const auto&) { return !read_file(path).empty(); }));
    EXPECT_EQ(std::stoi(read_file(path)), status);
    EXPECT_EQ(read_file(dir.file("mode.after")), read_file(dir.file("mode")));
  };

  ASSERT_TRUE(start());
  ASSERT_TRUE(terminal->wait_for_text("198.51.100.7    Blue"));
  EXPECT_FALSE(terminal->cursor_shown());
  auto cells = terminal->cells();
  ASSERT_EQ(cells.size(), 24u);
  EXPECT_TRUE(cells[2][3].bold && cells[2][3].foreground == CYAN);  // [C] is active
  EXPECT_FALSE(cells[2][50].bold);                                  // [I] is not
  EXPECT_TRUE(cells[4][1].bold && cells[4][14].bold);               // slot 0 selected
  EXPECT_FALSE(cells[5][14].bold);
  EXPECT_EQ(cells[4][14].foreground, GREEN);                         // level 1 >= 1
  EXPECT_EQ(cells[4][11].foreground, GREEN);                         // ping 50
  EXPECT_EQ(cells[5][11].foreground, YELLOW);                        // ping 300 of 500
  EXPECT_TRUE(cells[4][30].bold && cells[4][30].foreground == RED);  // colour code 2
  // After the name the row is plain again, whatever colour the name ended in.
  EXPECT_EQ(std::tuple(cells[4][40].bold, cells[4][40].foreground), std::tuple(false, WHITE));
  EXPECT_EQ(cells[23][1].foreground, CYAN);  // key names
  EXPECT_NE(cells[23][2].foreground, CYAN);  // labels

  // A raised level turns the level-1 address red (list now, table next poll); level 5 stays green.
  terminal->keys({"3"});
  ASSERT_TRUE(terminal->wait_for_text("Access (3)"));
  EXPECT_EQ(terminal->cells()[4][48].foreground, RED);
  ASSERT_TRUE(
      terminal->wait_for([&](const auto&) { return terminal->cells()[4][14].foreground == RED; }));
  cells = terminal->cells();
  EXPECT_EQ(std::tuple(cells[5][14].foreground, cells[5][48].foreground), std::tuple(GREEN, GREEN));
  terminal->keys({"-", "-"});
  ASSERT_TRUE(terminal->wait_for_text("Access (1)"));

  // Tab makes the IP list active: its tag turns bold (its key bar: the find walk below).
  terminal->keys({"Tab"});
  ASSERT_TRUE(terminal->wait_for([&](const auto&) { return terminal->cells()[2][50].bold; }));
  EXPECT_FALSE(terminal->cells()[2][3].bold);
  terminal->keys({"BTab", "c"});

  // The selected row is bold, but a name starts from the plain attribute.
  terminal->keys({"Down"});
  ASSERT_TRUE(terminal->wait_for([&](const auto&) { return terminal->cells()[5][14].bold; }));
  cells = terminal->cells();
  EXPECT_TRUE(cells[5][30].text == "B" && !cells[5][30].bold);

  // A tiny terminal gets a notice, then a larger one is laid out again.
  terminal->resize(10, 5);
  ASSERT_TRUE(terminal->wait_for(
      [](const auto& r) { return r[0] == "Terminal t" && r[1] == "Needs 40x1"; }));
  terminal->resize(100, 40);
  ASSERT_TRUE(terminal->wait_for_row(25, "├─[L]" + line(53) + "┴" + line(40) + "┤"));

  // Any command goes out and its reply lands in the pane; only the edit cell is green.
  // The toggle alone redraws the bottom row: the key bar gives way to the empty line.
  const auto key_bar = [](const auto& r) { return r[39].find("Details") != std::string::npos; };
  ASSERT_TRUE(terminal->wait_for(key_bar));
  terminal->keys({"~"});
  ASSERT_TRUE(terminal->wait_for([&](const auto& r) { return !key_bar(r); }));
  terminal->keys({"status"});
  ASSERT_TRUE(terminal->wait_for_row(39, " status"));
  cells = terminal->cells();
  cells[39].resize(100);  // the capture drops plain blanks at the end of a row
  for (const int col : {6, 7, 8})
    EXPECT_EQ(cells[39][col].background == GREEN, col == 7) << col;
  terminal->keys({"Enter"});
  ASSERT_TRUE(terminal->wait_for_text("Map              : canyon_ridge"));
  terminal->keys({"F1"});  // the third toggle key brings the key bar back
  ASSERT_TRUE(terminal->wait_for(key_bar));

  // Back in the first size, B bans and kicks the selected player, whose row empties once gone.
  // The bans file cannot take the ban: it is told lost at the end, below the shell's line.
  std::filesystem::create_directory(dir.file("access-add.txt"));
  terminal->resize(80, 24);
  ASSERT_TRUE(terminal->wait_for_row(22, "└" + line(78) + "┘"));
  terminal->keys({"B"});
  ASSERT_TRUE(terminal->wait_for_text("Client Admin ban  01 198.51.100.7    Blue"));
  ASSERT_TRUE(terminal->wait_for([](const auto& r) {
    return std::ranges::any_of(
        r, [](const auto& row) { return row.starts_with("│ 1" + std::string(44, ' ') + "│"); });
  }));

  terminal->keys({"q"});
  ended(0);
  EXPECT_TRUE(terminal->wait_for(given_back));
  EXPECT_TRUE(terminal->cursor_shown());
  EXPECT_TRUE(terminal->wait_for_text("File access-add.txt: 1 bans could not be written and"));
  std::filesystem::remove(dir.file("access-add.txt"));

  ASSERT_TRUE(start());
  ASSERT_EQ(kill(std::stoi(read_file(dir.file("pid"))), SIGTERM), 0);
  ended(0);
  EXPECT_EQ(screen_text(terminal->rows()), "BEFORE\n" + std::string(23, '\n'));

  // A start that fails says why, asks for a key and ends with status 1 on it.
  std::filesystem::remove(dir.file("drav-logger-ip.txt"));
  ASSERT_TRUE(start("env "));
  ASSERT_TRUE(terminal->wait_for([](const auto& r) {
    std::string joined = screen_text(r);
    std::erase(joined, '\n');
    return joined.find("drav-logger-ip.txt: No such file or directoryPress any key to exit") !=
           std::string::npos;
  }));
  EXPECT_EQ(read_file(dir.file("status")), "");
  terminal->keys({"x"});
  ended(1);

  // A terminal without colours is refused (the history is back: its absence is told first).
  drav_test::write_file(dir.file("drav-logger-ip.txt"), "");
  ASSERT_TRUE(start("env TERM=vt100 "));
  ended(1);
  EXPECT_TRUE(terminal->wait_for_text("Error: the terminal has no colours"));
}

// The server header at `cols` columns: the server's state (if any) and a blank, then the game
// text, which ends a blank before the server's name, cut where it would reach it.
std::string header_row(int cols, const std::string& state = "") {
  const std::string first = state.empty() ? state : state + " ";
  std::string header =
      first + fit("Game: deathmatch - canyon_ridge", std::max(0, cols - 18 - static_cast<int>(first.size())));
  header.erase(header.find_last_not_of(' ') + 1);
  return "│" + fit(header, cols - 2 - 15) + "Simulated Arena│";
}

// The player table's key bar: whole keys only, then its right part whole at its end.
bool key_bar_whole(const std::string& bar) {
  const std::string keys = " D Details  B Ban  K Kick  SPACE Locate IP",
                    right = "+/- Access (1)  TAB Switch  Q Quit";
  std::string left = bar.substr(0, bar.size() - std::min(bar.size(), right.size()));
  for (const std::string end : {" ", " ? Help", " "})
    while (left.ends_with(end))
      left.erase(left.size() - end.size());
  return bar.ends_with(" " + right) && keys.starts_with(left) &&
         (left.empty() || left.size() == keys.size() || keys.compare(left.size(), 2, "  ") == 0);
}

// The characters of a row (UTF-8), one a column.
std::vector<std::string> columns_of(const std::string& row) {
  std::vector<std::string> cells;
  Cell attributes;
  for (const Cell& cell : parse_row(row, attributes))
    cells.push_back(cell.text);
  return cells;
}

// No region's text runs into another's at `cols` x `rows`: every border is whole, the lists'
// divider goes down from where the top border has it, the header keeps its two texts apart and
// the key bar its parts. (Where the layout puts the borders: the screen test.)
bool regions_apart(const std::vector<std::string>& r, int cols, int rows,
                   const std::string& state = "") {
  if (std::ssize(r) != rows || r[0] != "┌─[S]" + line(cols - 16) + "[? Help]──┐" ||
      r[1] != header_row(cols, state) || !key_bar_whole(r[rows - 1]) ||
      r[rows - 2] != "└" + line(cols - 2) + "┘")
    return false;
  const std::vector<std::string> top = columns_of(r[2]);
  const auto divider = std::ranges::find(top, "┬") - top.begin();
  bool lists = true;
  for (int y = 2; y < rows - 2; ++y) {
    const std::vector<std::string> c = columns_of(r[y]);
    const bool border = y == 2 || r[y].starts_with("├─[L]");
    if (std::ssize(c) != cols || c[0] != (border ? "├" : "│") ||
        c[cols - 1] != (border ? "┤" : "│") ||
        (lists && c[divider] != (y == 2 ? "┬" : border ? "┴" : "│")))
      return false;
    lists = lists && !(border && y > 2);
  }
  return !lists;
}

TEST(TerminalTest, EveryWidthHelpPausedPaneConsoleLineAndFind) {
  drav_test::TempDir dir;
  drav_sim::SimServer server("secret");
  server.set_player(0, player("\x02Red", "192.0.2.10", 12, 50));
  server.set_player(1, player("Blue", "198.51.100.7", 3, 300));
  server.set_player(2, player("Rob", "198.51.100.20", 7, 80));
  prepare(dir, server, "");
  // Left to the terminal library, an Escape would wait ten minutes for the rest of a sequence.
  Terminal terminal(dir.path().string(), std::string("ESCDELAY=600000 ") + DRAV_LOGGER_BINARY, 80,
                    24);
  ASSERT_TRUE(terminal.wait_for_text("Client Connect    02 198.51.100.20   Rob"));

  // Status replies that refuse the password, are not understood, or do not come: the header
  // tells it first, whole and in red, until a status reply is understood again.
  const auto answer_status = [&](const std::string& text) {
    server.set_reply_override([text](const std::string& command) {
      return text.empty() || !command.starts_with("status")
                 ? std::nullopt
                 : std::optional(std::vector<std::string>{"\xFF\xFF\xFF\xFFprint\n" + text});
    });
  };
  answer_status("Bad rcon_password.\n");

  // At every width up to 62 (every last field fits), where the key bar's parts meet, around
  // the table's fixed widths, wide, and at sizes up to 300x100, no region's text runs into
  // another's. Not every width up to 300: tmux passes on at most four resizes a second.
  terminal.resize(300, 12);
  ASSERT_TRUE(terminal.wait_for([](const auto& r) {
    return r.size() == 12 && r[10].size() > 600 && r[1] == header_row(300, "PASSWORD REFUSED");
  }));
  EXPECT_EQ(std::tuple(terminal.cells()[1][1].bold, terminal.cells()[1][1].foreground),
            std::tuple(true, RED));
  const auto apart_at = [&](int cols, int rows, const std::string& state) {
    terminal.resize(cols, rows);
    return terminal.wait_for([&](const auto& r) { return regions_apart(r, cols, rows, state); },
                             std::chrono::milliseconds(25));
  };
  std::vector<int> widths(23);
  std::iota(widths.begin(), widths.end(), 40);
  widths.insert(widths.end(), {76, 77, 78, 79, 80, 83, 84, 85, 86, 100, 101, 200, 299});
  for (const int cols : widths)
    ASSERT_TRUE(apart_at(cols, 12, "PASSWORD REFUSED")) << cols << " columns";
  answer_status("");
  for (const auto& [cols, rows] : std::vector<std::pair<int, int>>{
           {40, 12}, {40, 100}, {300, 100}, {41, 13}, {57, 31}, {80, 24}, {83, 17}, {86, 44},
           {123, 61}, {211, 99}, {299, 14}})
    ASSERT_TRUE(apart_at(cols, rows, "")) << cols << "x" << rows;

  // Silence counts its seconds on the screen between polls; a layout not known here is told
  // after two replies with the same first line.
  const auto header_state = [](const std::vector<std::string>& r) {
    std::smatch state;
    const bool told = r.size() > 1 && std::regex_search(r[1], state, std::regex("^│(SILENT [0-9]+ s|[A-Z ]+[A-Z]) "));
    return told && r[1] == header_row(40, state[1]) ? state[1].str() : std::string();
  };
  terminal.resize(40, 12);
  server.set_faults({.silent = true});
  std::string silent;
  ASSERT_TRUE(terminal.wait_for([&](const auto& r) {
    return (silent = header_state(r)).starts_with("SILENT ");
  }));
  ASSERT_TRUE(terminal.wait_for([&](const auto& r) {
    return header_state(r).starts_with("SILENT ") && header_state(r) != silent;
  }));
  server.set_faults({});
  answer_status("A layout of its own\n");
  ASSERT_TRUE(terminal.wait_for([&](const auto& r) { return header_state(r) == "NOT UNDERSTOOD"; }));
  answer_status("");
  ASSERT_TRUE(terminal.wait_for_row(1, header_row(40)));

  // ? shows every region's keys over the regions; the next key only closes it, redrawing them.
  terminal.resize(80, 24);
  terminal.keys({"?"});
  const std::vector<std::string> help = {
      " [S] Header   D Details",
      " [C] Players  D Details  K Kick  B Ban  SPACE Locate IP  A Aliases",
      " [I] IP list  D Details  B Ban  A Aliases  n N Next/previous",
      " [L] Log      P Pause/resume  END Newest",
      " Lists        UP DOWN PGUP PGDN HOME END Move",
      " Anywhere     TAB Switch  S C I L Region  +/- 0-9 Access  ? h Help  Q Quit",
      " Console      ~ ` F1 On/off  ENTER Send  ESC Empty  INS Overwrite",
      " Find         / Find in IP list  ENTER Keep selection  ESC Go back"};
  std::vector<std::string> expected = {"┌─[?] Keys; any key closes this help " + line(42) + "┐"};
  for (std::size_t i = 0; i < 21; ++i)
    expected.push_back("│" + fit(i < help.size() ? help[i] : "", 78) + "│");
  expected.push_back("└" + line(78) + "┘");
  ASSERT_TRUE(terminal.wait_for([&](const auto& r) {
    return r.size() == 24 && std::equal(expected.begin(), expected.end(), r.begin());
  }));
  terminal.keys({"q"});
  ASSERT_TRUE(terminal.wait_for([&](const auto& r) {
    return regions_apart(r, 80, 24) && r[4].starts_with("│ 0   12   50 192.0.2.10      Red");
  }));

  // P holds the pane, counting new lines (9 details, 3 reminders) in bold yellow; End or P resumes.
  const auto pane_rows = [](const std::vector<std::string>& r) {
    return std::vector<std::string>(r.begin() + 16, r.begin() + 22);
  };
  const std::vector<std::string> held = pane_rows(terminal.rows());
  const struct {
    std::vector<std::string> keys;
    std::string label, bottom;  // of the pane's border; the pane's last row starts so
  } pauses[] = {
      {{"l", "P"}, "[PAUSED +0]", ""},  // "": the rows before the pause
      {{"s", "d"}, "[PAUSED +9]", ""},
      {{"l", "End"}, "", "│  DMflags:"},
      {{"P", "c", "k", "k", "k"}, "[PAUSED +3]", "│  DMflags:"},
      {{"l", "P"}, "", "│Use Shift-K to kick"},
  };
  for (const auto& step : pauses) {
    terminal.keys(step.keys);
    ASSERT_TRUE(terminal.wait_for([&](const auto& r) {
      return r[15] ==
                 "├─[L]─" + step.label + line(41 - std::ssize(step.label)) + "┴" + line(31) + "┤" &&
             (step.bottom.empty() ? pane_rows(r) == held : r[21].starts_with(step.bottom));
    })) << step.keys[0];
    const Cell label = terminal.cells()[15][7];
    EXPECT_EQ(std::tuple(label.bold, label.foreground),
              step.label.empty() ? std::tuple(false, WHITE) : std::tuple(true, YELLOW));
  }

  // The log pane's key bar names its keys.
  ASSERT_TRUE(terminal.wait_for_row(
      23, " " + fit("P Pause  End Newest", 44) + "+/- Access (1)  TAB Switch  Q Quit"));

  // After a sent line longer than the bar, the empty line's edit cell is at its start.
  terminal.keys({"~", "say " + std::string(96, 'z'), "Enter"});
  ASSERT_TRUE(terminal.wait_for([&](const auto& r) {
    const auto cells = terminal.cells();
    return screen_text(r).find(">say zzzz") != std::string::npos && cells[23].size() > 1 &&
           cells[23][1].background == GREEN;
  }));

  // Find selects the next match (rows 4 to 6, bold); Escape goes back.
  const auto selected_row = [&] {
    const auto cells = terminal.cells();
    for (int row = 4; row <= 6; ++row)
      if (cells[row].size() > 48 && cells[row][48].bold)
        return row;
    return -1;
  };
  const std::string key_bar =
      " " + fit("D Details  B Ban  / Find", 44) + "+/- Access (1)  TAB Switch  Q Quit";
  const struct {
    std::vector<std::string> keys;
    std::string bottom;
    int row;
    bool red;
  } steps[] = {
      {{"`", "i", "Home", "Down"}, key_bar, 5, false},
      {{"/", "r"}, " Find: r", 6, false},  // Rob, the first match from Blue on
      {{"x"}, " Find: rx", 6, true},       // nothing matches: red, the selection stays
      {{"Escape"}, key_bar, 5, false},     // back where it was (more steps: the screen test)
  };
  for (const auto& step : steps) {
    terminal.keys(step.keys);
    ASSERT_TRUE(terminal.wait_for([&](const auto& r) {
      const auto cells = terminal.cells();
      return r[23] == step.bottom && selected_row() == step.row &&
             (cells[23].size() > 7 && cells[23][7].foreground == RED) == step.red;
    })) << step.keys[0];
  }

  // A server without a name leaves the game text the header's whole width, to its last column.
  terminal.resize(40, 12);
  server.set_serverinfo({{"mapname", "canyon_ridge_remastered"}, {"hostname", ""}});
  server.set_map("canyon_ridge_remastered", "deathmatch");
  ASSERT_TRUE(terminal.wait_for_row(1, "│Game: deathmatch - canyon_ridge_remast│"));
}

// While a status reply is held back for far longer than any wait here, keys and resizes are
// answered, the console line's echo shows and Q ends the program at once.
TEST(TerminalTest, KeysAreAnsweredWhileAReplyIsAwaited) {
  drav_test::TempDir dir;
  drav_sim::SimServer server("secret");
  server.set_player(0, player("Red", "192.0.2.10", 12, 50));
  prepare(dir, server, "", {{"net_response_timeout_1", "120000"}});
  Terminal terminal(dir.path().string(), std::string(DRAV_LOGGER_BINARY) + "; echo ENDED", 80, 24);
  ASSERT_TRUE(terminal.wait_for_text("Client Connect    00 192.0.2.10      Red"));
  server.set_faults({.reply_delay_ms = 100'000, .only_command = "status"});
  server.clear_commands();
  const auto received = [&](const std::string& command) {
    return std::ranges::any_of(server.commands(), [&](const auto& c) { return c.command == command; });
  };
  ASSERT_TRUE(terminal.wait_for([&](const auto&) { return received("status"); }));
  terminal.keys({"?"});
  ASSERT_TRUE(terminal.wait_for_text("[C] Players"));
  terminal.keys({"?"});
  terminal.resize(100, 30);
  ASSERT_TRUE(terminal.wait_for_row(28, "└" + line(98) + "┘"));
  terminal.keys({"~", "serverinfo", "Enter"});
  ASSERT_TRUE(terminal.wait_for_text(">serverinfo"));
  EXPECT_FALSE(received("serverinfo"));  // the console's command waits for its turn
  terminal.keys({"`", "q"});
  ASSERT_TRUE(terminal.wait_for_text("ENDED"));
}

}  // namespace
