#include "terminal.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <thread>

namespace drav_test {

namespace {

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

std::string run(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) {
    throw std::runtime_error("cannot run " + command);
  }
  std::string output;
  std::array<char, 4096> buffer;
  std::size_t read = 0;
  while ((read = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) {
    output.append(buffer.data(), read);
  }
  return output;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Applies one SGR parameter list ("1;32") to the current attributes.
void apply_sgr(const std::string& parameters, Cell& attributes) {
  std::vector<int> codes;
  std::size_t start = 0;
  while (start <= parameters.size()) {
    const std::size_t end = parameters.find(';', start);
    const std::string code = parameters.substr(start, end - start);
    codes.push_back(code.empty() ? 0 : std::stoi(code));
    if (end == std::string::npos) {
      break;
    }
    start = end + 1;
  }
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const int code = codes[i];
    if (code == 0) {
      attributes = Cell{};
    } else if (code == 1) {
      attributes.bold = true;
    } else if (code == 22) {
      attributes.bold = false;
    } else if (code >= 30 && code <= 37) {
      attributes.foreground = code - 30;
    } else if (code == 39) {
      attributes.foreground = -1;
    } else if (code >= 40 && code <= 47) {
      attributes.background = code - 40;
    } else if (code == 49) {
      attributes.background = -1;
    } else if ((code == 38 || code == 48) && i + 2 < codes.size() && codes[i + 1] == 5) {
      (code == 38 ? attributes.foreground : attributes.background) = codes[i + 2];
      i += 2;
    }
  }
}

// Attributes carry over from one row to the next, as the terminal sends them.
std::vector<Cell> parse_row(const std::string& row, Cell& attributes) {
  std::vector<Cell> cells;
  for (std::size_t i = 0; i < row.size();) {
    if (row[i] == '\x1b' && i + 1 < row.size() && row[i + 1] == '[') {
      const std::size_t end = row.find_first_of("ABCDEFGHJKSTfmhl", i + 2);
      if (end == std::string::npos) {
        break;
      }
      if (row[end] == 'm') {
        apply_sgr(row.substr(i + 2, end - i - 2), attributes);
      }
      i = end + 1;
      continue;
    }
    const unsigned char lead = static_cast<unsigned char>(row[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    Cell cell = attributes;
    cell.text = row.substr(i, length);
    cells.push_back(cell);
    i += length;
  }
  return cells;
}

std::atomic<int> session_counter{0};

}  // namespace

Terminal::Terminal(const std::string& folder, const std::string& command, int cols, int rows)
    : socket_("drav-test-" + std::to_string(getpid()) + "-" + std::to_string(++session_counter)) {
  // The shell stays after the program so that the screen it leaves can be read.
  const std::string shell = command + "; exec sleep 600";
  tmux("-f /dev/null new-session -d -s main -x " + std::to_string(cols) + " -y " +
       std::to_string(rows) + " -c " + quote(folder) + " " + quote(shell));
}

Terminal::~Terminal() {
  tmux("kill-server");
}

std::string Terminal::tmux(const std::string& arguments) const {
  return run("tmux -L " + socket_ + " " + arguments + " 2>/dev/null");
}

std::vector<std::string> Terminal::rows() const {
  std::vector<std::string> lines = split_lines(tmux("capture-pane -p -t main"));
  for (std::string& line : lines) {
    line.erase(line.find_last_not_of(' ') + 1);
  }
  return lines;
}

std::vector<std::vector<Cell>> Terminal::cells() const {
  std::vector<std::vector<Cell>> screen;
  Cell attributes;
  for (const std::string& row : split_lines(tmux("capture-pane -p -e -t main"))) {
    screen.push_back(parse_row(row, attributes));
  }
  return screen;
}

void Terminal::keys(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    tmux("send-keys -t main " + quote(name));
  }
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
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

bool Terminal::wait_for_text(const std::string& text, int timeout_ms) const {
  return wait_for(
      [&](const std::vector<std::string>& rows) {
        for (const std::string& row : rows) {
          if (row.find(text) != std::string::npos) {
            return true;
          }
        }
        return false;
      },
      timeout_ms);
}

std::string screen_text(const std::vector<std::string>& rows) {
  std::string text;
  for (const std::string& row : rows) {
    text += row + "\n";
  }
  return text;
}

}  // namespace drav_test
