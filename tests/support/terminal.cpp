#include "terminal.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <thread>

namespace drav_test {

namespace {

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::vector<std::string> run_lines(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string output;
  char buffer[4096];
  for (std::size_t got; pipe && (got = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;)
    output.append(buffer, got);
  std::vector<std::string> lines;
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);)
    lines.push_back(line);
  return lines;
}

// Applies one SGR parameter list ("1;32") to the current attributes.
void apply_sgr(const std::string& parameters, Cell& attributes) {
  for (std::size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
    end = parameters.find(';', start);
    const std::string code = parameters.substr(start, end - start);
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
}

// Attributes carry over from one row to the next, as the terminal sends them.
std::vector<Cell> parse_row(const std::string& row, Cell& attributes) {
  std::vector<Cell> cells;
  for (std::size_t i = 0; i < row.size();) {
    if (row.compare(i, 2, "\x1b[") == 0) {
      const std::size_t end = row.find_first_of("ABCDEFGHJKSTfmhl", i + 2);
      if (end == std::string::npos)
        break;
      if (row[end] == 'm')
        apply_sgr(row.substr(i + 2, end - i - 2), attributes);
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

std::atomic<int> session_counter{0};

}  // namespace

Terminal::Terminal(const std::string& folder, const std::string& command, int cols, int rows)
    : socket_("drav-test-" + std::to_string(getpid()) + "-" + std::to_string(++session_counter)) {
  // The shell stays after the program so that the screen it leaves can be read.
  tmux("-f /dev/null new-session -d -s main -x " + std::to_string(cols) + " -y " +
       std::to_string(rows) + " -c " + quote(folder) + " " + quote(command + "; exec sleep 600"));
}

Terminal::~Terminal() {
  tmux("kill-server");
}

std::vector<std::string> Terminal::tmux(const std::string& arguments) const {
  return run_lines("tmux -L " + socket_ + " " + arguments + " 2>/dev/null");
}

std::vector<std::string> Terminal::rows() const {
  std::vector<std::string> lines = tmux("capture-pane -p -t main");
  for (std::string& line : lines)
    line.erase(line.find_last_not_of(' ') + 1);
  return lines;
}

std::vector<std::vector<Cell>> Terminal::cells() const {
  std::vector<std::vector<Cell>> screen;
  Cell attributes;
  for (const std::string& row : tmux("capture-pane -p -e -t main"))
    screen.push_back(parse_row(row, attributes));
  return screen;
}

void Terminal::keys(const std::vector<std::string>& names) {
  for (const std::string& name : names)
    tmux("send-keys -t main " + quote(name));
}

void Terminal::type(const std::string& text) {
  tmux("send-keys -t main -l " + quote(text));
}

void Terminal::resize(int cols, int rows) {
  tmux("resize-window -t main -x " + std::to_string(cols) + " -y " + std::to_string(rows));
}

bool Terminal::wait_for(const std::function<bool(const std::vector<std::string>&)>& done,
                        int timeout_ms) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done(rows())) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

bool Terminal::wait_for_text(const std::string& text, int timeout_ms) const {
  return wait_for(
      [&](const auto& rows) { return screen_text(rows).find(text) != std::string::npos; },
      timeout_ms);
}

std::string screen_text(const std::vector<std::string>& rows) {
  std::string text;
  for (const std::string& row : rows)
    text += row + "\n";
  return text;
}

}  // namespace drav_test
