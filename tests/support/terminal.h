// Runs a program in a real terminal (a detached tmux session on a private
// server socket) and reads the screen back, characters and colours.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace drav_test {

/// One character cell of the screen as the terminal shows it.
struct Cell {
  std::string text;  // the character (UTF-8), " " for an empty cell
  bool bold = false;
  int foreground = -1;  // 0..7 as in curses, -1 the terminal's default
  int background = -1;
};

/// A terminal of its own running `command` through sh in `folder`.
class Terminal {
 public:
  Terminal(const std::string& folder, const std::string& command, int cols, int rows);
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  /// The visible rows as text, trailing blanks removed.
  std::vector<std::string> rows() const;
  /// The visible rows as cells with their attributes.
  std::vector<std::vector<Cell>> cells() const;
  /// Types keys as tmux names them ("Tab", "BTab", "Space", "Enter", "q", ...).
  void keys(const std::vector<std::string>& names);
  /// Types a text literally.
  void type(const std::string& text);
  /// Resizes the terminal.
  void resize(int cols, int rows);
  /// Waits up to `timeout_ms` until `done` holds for the rows; returns whether it did.
  bool wait_for(const std::function<bool(const std::vector<std::string>&)>& done,
                int timeout_ms = 15000) const;
  /// Waits until some row contains `text`.
  bool wait_for_text(const std::string& text, int timeout_ms = 15000) const;

 private:
  std::vector<std::string> tmux(const std::string& arguments) const;
  std::string socket_;
};

/// The rows joined with line feeds, for failure messages.
std::string screen_text(const std::vector<std::string>& rows);

}  // namespace drav_test
