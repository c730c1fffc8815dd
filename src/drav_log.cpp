#include "drav_log.h"

#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "drav_event.h"
#include "drav_ip.h"
#include "drav_pane.h"
#include "drav_tools.h"

namespace {

// A log line holds the time stamp, a blank and the event text in 1024 bytes; a longer
// event text is cut there.
constexpr std::size_t LOG_LINE_SIZE = 1024;

// The log stream: standard output, a log file opened here, or none (-1).
int gi_file_log = -1;
std::FILE* gpo_file_error = nullptr;
// Owns a log file opened here; standard output is never closed through it.
ts_file_descriptor go_owned_log;
std::string gac_log_name;
// The last write to the log stream failed and that was reported.
bool gb_log_failing = false;
bool gb_screen_active = false;
bool gb_exit_started = false;
bool gb_echo_stdout = false;
bool gb_wait_for_key = true;
ts_fatal_handler gpf_fatal_handler = nullptr;
ts_log_release_function gpf_release = nullptr;

// The labels of the player events, EVENT_CONNECT to EVENT_ADMIN_BAN.
constexpr std::array<const char*, 8> gct_kind_labels = {
    "Connect   ", "Disconnect", "Change    ", "Reconnect ",
    "Block     ", "Reject    ", "Admin kick", "Admin ban ",
};

// The terminal's mode as it was before the fatal path took one key from it.
struct ts_key_mode {
  bool b_changed = false;
  termios ts_saved{};
};

// Puts a terminal on standard input into character mode, so that any key ends the wait:
// in line mode only Enter would, and with no prompt the program would look hung. Keys typed
// before the message shows are dropped, so that the operator gets to read it. Signal keys
// are plain keys here too: the signal handlers only ask the main loop to end, and the
// interrupted read would start again. Standard input that is no terminal is left as it is.
ts_key_mode r_dravlog_key_mode_begin() {
  ts_key_mode mode;
  if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &mode.ts_saved) != 0) {
    return mode;
  }
  termios character_mode = mode.ts_saved;
  character_mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
  character_mode.c_cc[VMIN] = 1;
  character_mode.c_cc[VTIME] = 0;
  mode.b_changed = tcsetattr(STDIN_FILENO, TCSAFLUSH, &character_mode) == 0;
  return mode;
}

// Waits until the operator has read the message: one byte, or the end of standard input;
// then gives the terminal its mode back.
void r_dravlog_wait_for_key(const ts_key_mode& mode) {
  char byte = 0;
  while (read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR) {
  }
  if (mode.b_changed) {
    tcsetattr(STDIN_FILENO, TCSANOW, &mode.ts_saved);
  }
}

// Writes a line to the pane, and to the error stream while no screen shows the pane.
void r_dravlog_show(const char* line) {
  r_dravpane_add_text(line);
  if (!gb_screen_active && gpo_file_error != nullptr) {
    // The error stream is where failures are told: its own have nowhere left to go.
    (void)std::fputs(line, gpo_file_error);
    (void)std::fflush(gpo_file_error);
  }
}

// Formats "<time stamp> <text>" into `line`. A text too long for the buffer is cut before
// its line feed, so that the next line is never glued onto it.
[[gnu::format(printf, 3, 0)]] void r_dravlog_format_line(char (&line)[LOG_LINE_SIZE],
                                                         std::time_t when, const char* format,
                                                         va_list arguments) {
  const int stamp_length = std::snprintf(line, sizeof line, "%s ", r_dravtools_gettime(when));
  const std::size_t room = sizeof line - static_cast<std::size_t>(stamp_length);
  const int text_length = std::vsnprintf(line + stamp_length, room, format, arguments);
  if (text_length < 0) {
    std::strcpy(line + stamp_length, "\n");
  } else if (static_cast<std::size_t>(text_length) >= room) {
    line[sizeof line - 2] = '\n';
  }
}

// Writes a line (colour codes already removed) to the log stream; a failure is told once.
void r_dravlog_write(const char* line) {
  const ts_append_outcome outcome = r_dravtools_append_descriptor(gi_file_log, line);
  if (outcome.te_result == APPEND_OK) {
    gb_log_failing = false;
    return;
  }
  if (gb_log_failing) {
    return;
  }
  gb_log_failing = true;
  if (outcome.i_cut_error != 0) {
    // The next line that gets through starts on a line of its own after the partial one.
    r_dravlog_notice(
        "Log    File %s could not be written (%s) nor cut back to its last whole line (%s): "
        "events are missing from it\n",
        gac_log_name.c_str(), std::strerror(outcome.i_error), std::strerror(outcome.i_cut_error));
    return;
  }
  r_dravlog_notice("Log    File %s could not be written (%s): events are missing from it\n",
                   gac_log_name.c_str(), std::strerror(outcome.i_error));
}

// Closes a log file opened here. Some file systems report a write that did not reach the
// disk only when the file is closed, so a failure is told like a failed write.
void r_dravlog_close_owned() {
  if (go_owned_log && !go_owned_log.close()) {
    const int error = errno;
    r_dravlog_notice("Log    File %s could not be closed (%s): events may be missing from it\n",
                     gac_log_name.c_str(), std::strerror(error));
  }
}

// Writes a formatted line to the pane, the log stream and the echo on standard output.
void r_dravlog_log_line(char (&line)[LOG_LINE_SIZE]) {
  r_dravpane_add_text(line);
  r_dravtools_remove_colors_char(line, line);
  if (gi_file_log >= 0) {
    r_dravlog_write(line);
  }
  if (gb_echo_stdout && gi_file_log != STDOUT_FILENO) {
    // A copy for whoever reads standard output; the log file and the pane have the line.
    (void)std::fputs(line, stdout);
    (void)std::fflush(stdout);
  }
}

// Writes a line to the pane, the log stream and the echo, and to the error stream while no
// screen shows the pane.
void r_dravlog_warn_line(char (&line)[LOG_LINE_SIZE]) {
  r_dravlog_log_line(line);
  if (!gb_screen_active && gpo_file_error != nullptr) {
    (void)std::fputs(line, gpo_file_error);
    (void)std::fflush(gpo_file_error);
  }
}

// Formats a line stamped `when` (0: now).
[[gnu::format(printf, 3, 4)]] void r_dravlog_stamped(char (&line)[LOG_LINE_SIZE], std::time_t when,
                                                     const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  r_dravlog_format_line(line, when, format, arguments);
  va_end(arguments);
}

// The log's line of an event that the log file records, stamped with the event's time.
void r_dravlog_log_event(const ts_event& event) {
  char line[LOG_LINE_SIZE];
  if (event.te_kind == EVENT_SERVER_CHANGE) {
    r_dravlog_stamped(line, event.t_time, "Server Change     %s\n", event.ac_name.c_str());
  } else if (event.i_slot < 0) {
    // A ban of an address from the IP list names no player.
    r_dravlog_stamped(line, event.t_time, "IP     Admin ban  %-15s\n",
                      r_dravip_ip_to_text(event.i_ip).c_str());
  } else {
    r_dravlog_stamped(line, event.t_time, "Client %s %02d %-15s %s\n",
                      gct_kind_labels[event.te_kind], event.i_slot,
                      r_dravip_ip_to_text(event.i_ip).c_str(), event.ac_name.c_str());
  }
  r_dravlog_log_line(line);
}

// The log's listener: the log file's events, the notices of the pane and the late writes,
// stamped with the event's time.
void r_dravlog_hear(const ts_event& event) {
  char line[LOG_LINE_SIZE];
  switch (event.te_kind) {
    case EVENT_SERVER_SILENT:
    case EVENT_SERVER_REPLYING:
    case EVENT_SERVER_NOT_UNDERSTOOD:
    case EVENT_SERVER_PASSWORD_REFUSED:
      r_dravlog_stamped(line, event.t_time, "%s\n", event.ac_reason.c_str());
      r_dravlog_show(line);
      return;
    case EVENT_WRITTEN_LATE:
      r_dravlog_stamped(line, event.t_time, "%s\n", event.ac_reason.c_str());
      r_dravlog_warn_line(line);
      return;
    case EVENT_HOST_NAMES:
    case EVENT_POLL_DONE:
    case EVENT_KIND_COUNT:
      return;
    default:
      r_dravlog_log_event(event);
  }
}

}  // namespace

void r_dravlog_init_first() {
  r_dravevent_add_listener(r_dravlog_hear);
  r_dravlog_close_owned();
  gi_file_log = STDOUT_FILENO;
  gac_log_name = "standard output";
  gb_log_failing = false;
  gpo_file_error = stderr;
}

void r_dravlog_init(const char* path) {
  r_dravevent_add_listener(r_dravlog_hear);
  r_dravlog_close_owned();
  gi_file_log = -1;
  gb_log_failing = false;
  if (path[0] == '\0') {
    return;
  }
  go_owned_log = r_dravtools_open_append(path);
  if (!go_owned_log) {
    r_dravlog_error("./src/drav_log - File open error: %s\n%s: %s\n", path, path,
                    std::strerror(errno));
  }
  gi_file_log = go_owned_log.get();
  gac_log_name = path;
}

void r_dravlog_check_file(const char* log_file) {
  if (log_file[0] == '\0') {
    return;
  }
  const std::filesystem::path path(log_file);
  bool openable = false;
  std::error_code unknown;
  if (std::filesystem::is_directory(path, unknown)) {
    errno = EISDIR;  // the start's open for appending fails so
  } else if (access(path.c_str(), F_OK) == 0) {
    openable = access(path.c_str(), W_OK) == 0;
  } else {
    // A missing file is created by the start: its folder must take a new entry.
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
    openable = access(folder.c_str(), W_OK | X_OK) == 0;
  }
  if (!openable) {
    r_dravlog_error("./src/drav_log - File open error: %s\n%s: %s\n", log_file, log_file,
                    std::strerror(errno));
  }
}

void r_dravlog_error(const char* format, ...) {
  if (gpf_fatal_handler != nullptr) {
    char message[LOG_LINE_SIZE];
    va_list arguments;
    va_start(arguments, format);
    // A message cut at the buffer's end still tells what happened.
    (void)std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    gpf_fatal_handler(message);
  }
  if (gpf_release != nullptr) {
    // The message must be readable after the program ends: the screen gives the terminal
    // back first. The exit handler's own call to the screen then finds it finished.
    gpf_release();
  }
  // Before the message: from here on every key counts, and none typed earlier does.
  const ts_key_mode key_mode = gb_wait_for_key ? r_dravlog_key_mode_begin() : ts_key_mode{};
  if (gpo_file_error != nullptr) {
    // The program ends with status 1 whether or not the error stream takes the message.
    (void)std::fprintf(gpo_file_error, "\n\n%s ", r_dravtools_gettime(0));
    va_list arguments;
    va_start(arguments, format);
    (void)std::vfprintf(gpo_file_error, format, arguments);
    va_end(arguments);
    if (key_mode.b_changed) {
      // The operator at the terminal would otherwise take the wait for a hang.
      (void)std::fputs("Press any key to exit\n", gpo_file_error);
    }
    (void)std::fflush(gpo_file_error);
  }
  if (gb_wait_for_key) {
    r_dravlog_wait_for_key(key_mode);
  }
  if (gb_exit_started) {
    // The exit handlers are already running; running them again is not allowed.
    (void)std::fflush(nullptr);
    std::_Exit(1);
  }
  std::exit(1);
}

void r_dravlog_log(const char* format, ...) {
  char line[LOG_LINE_SIZE];
  va_list arguments;
  va_start(arguments, format);
  r_dravlog_format_line(line, 0, format, arguments);
  va_end(arguments);
  r_dravlog_log_line(line);
}

void r_dravlog_warn(const char* format, ...) {
  char line[LOG_LINE_SIZE];
  va_list arguments;
  va_start(arguments, format);
  r_dravlog_format_line(line, 0, format, arguments);
  va_end(arguments);
  r_dravlog_warn_line(line);
}

void r_dravlog_tell_append(const char* label, ts_append_queue& queue,
                           const ts_append_outcome& outcome) {
  const char* path = queue.path().c_str();
  if (outcome.te_result == APPEND_OK) {
    if (queue.b_told_failure) {
      ts_event event = r_dravevent_make(EVENT_WRITTEN_LATE);
      event.ac_reason = std::string(label) + "File " + path +
                        " written again: " + std::to_string(queue.written_late()) +
                        " waiting entries written, " + std::to_string(queue.dropped()) + " dropped";
      r_dravevent_tell(event);
    }
    queue.end_failure();
    return;
  }
  if (!queue.b_told_failure) {
    queue.b_told_failure = true;
    r_dravlog_warn(
        "%s%s: the monitor goes on; entries waiting in memory: %zu (at most %zu), written when "
        "writing works again\n",
        label, r_dravtools_append_failure(path, outcome).c_str(), queue.waiting(), queue.bound());
  }
  // The count again at 10, 100, 1000 and so on, so that a failure that lasts stays in sight.
  std::size_t power = 1;
  while (power * 10 <= queue.waiting()) {
    power *= 10;
  }
  if (power >= 10 && power > queue.i_told_waiting && queue.dropped() == 0) {
    queue.i_told_waiting = power;
    r_dravlog_warn("%sFile %s: entries waiting in memory: %zu\n", label, path, queue.waiting());
  }
  if (queue.dropped() > 0 && !queue.b_told_dropped) {
    queue.b_told_dropped = true;
    r_dravlog_warn("%sFile %s: entries waiting in memory: %zu, the most kept; newer ones are "
                   "dropped\n",
                   label, path, queue.waiting());
  }
}

void r_dravlog_notice(const char* format, ...) {
  char line[LOG_LINE_SIZE];
  va_list arguments;
  va_start(arguments, format);
  r_dravlog_format_line(line, 0, format, arguments);
  va_end(arguments);
  r_dravlog_show(line);
}

void r_dravlog_set_screen_active(bool active) {
  gb_screen_active = active;
}

void r_dravlog_set_release_function(ts_log_release_function release) {
  gpf_release = release;
}

void r_dravlog_set_echo_stdout(bool echo) {
  gb_echo_stdout = echo;
}

void r_dravlog_set_wait_for_key(bool wait) {
  gb_wait_for_key = wait;
}

void r_dravlog_finish() {
  r_dravevent_remove_listener(r_dravlog_hear);
  r_dravlog_close_owned();
  gi_file_log = -1;
  if (gpo_file_error != nullptr) {
    (void)std::fflush(gpo_file_error);  // nothing is left to tell a failure to
  }
  gpo_file_error = nullptr;
}

void r_dravlog_set_fatal_handler(ts_fatal_handler handler) {
  gpf_fatal_handler = handler;
}

void r_dravlog_exit_started() {
  gb_exit_started = true;
}
