#include "drav_log.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "drav_config.h"
#include "drav_ip.h"
#include "drav_screen.h"
#include "drav_statsparse.h"
#include "drav_tools.h"

namespace {

// A log line holds the time stamp, a blank and the event text in 1024 bytes; a longer
// event text is cut there.
constexpr std::size_t LOG_LINE_SIZE = 1024;

std::FILE* gpo_file_log = nullptr;
std::FILE* gpo_file_error = nullptr;
// Owns a log file opened here; the standard streams are never closed through it.
FilePtr go_owned_log;
bool gb_exit_started = false;
ts_fatal_handler gpf_fatal_handler = nullptr;

constexpr std::array<const char*, 8> gct_kind_labels = {
    "Connect   ", "Disconnect", "Change    ", "Reconnect ",
    "Block     ", "Reject    ", "Admin kick", "Admin ban ",
};

const char* kind_label(te_log_kind kind) {
  const int index = static_cast<int>(kind);
  if (index < 0 || index >= static_cast<int>(gct_kind_labels.size())) {
    return "          ";
  }
  return gct_kind_labels[index];
}

// Waits until the operator has read the message: one byte, or the end of standard input.
void wait_for_key() {
  char byte = 0;
  while (read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR) {
  }
}

}  // namespace

void r_dravlog_init_first() {
  go_owned_log.reset();
  gpo_file_log = stdout;
  gpo_file_error = stderr;
}

void r_dravlog_init(const ts_config& config) {
  go_owned_log.reset();
  gpo_file_log = nullptr;
  if (config.log_file[0] == '\0') {
    return;
  }
  go_owned_log.reset(std::fopen(config.log_file, "a"));
  if (!go_owned_log) {
    r_dravlog_error("./src/drav_log - File open error: %s\n", config.log_file);
  }
  gpo_file_log = go_owned_log.get();
}

void r_dravlog_error(const char* format, ...) {
  if (gpf_fatal_handler != nullptr) {
    char message[LOG_LINE_SIZE];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    gpf_fatal_handler(message);
  }
  if (gpo_file_error != nullptr) {
    std::fprintf(gpo_file_error, "\n\n%s ", r_dravtools_gettime(0));
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(gpo_file_error, format, arguments);
    va_end(arguments);
    std::fflush(gpo_file_error);
  }
  wait_for_key();
  if (gb_exit_started) {
    // The exit handlers are already running; running them again is not allowed.
    std::fflush(nullptr);
    std::_Exit(1);
  }
  std::exit(1);
}

void r_dravlog_log(const char* format, ...) {
  char line[LOG_LINE_SIZE];
  const int stamp_length = std::snprintf(line, sizeof line, "%s ", r_dravtools_gettime(0));
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line + stamp_length, sizeof line - stamp_length, format, arguments);
  va_end(arguments);

  r_dravscreen_add_log_line(line);
  if (gpo_file_log != nullptr) {
    r_dravtools_remove_colors_char(line, line);
    std::fputs(line, gpo_file_log);
    std::fflush(gpo_file_log);
  }
}

void r_dravlog_log_player(te_log_kind kind, const ts_status_line& line) {
  const ts_ip_text address = r_dravip_ip_to_text(line.ts_address.ip);
  r_dravlog_log("Client %s %02d %-15s %s\n", kind_label(kind), line.i_num, address.c_str(),
                line.ac_name);
}

void r_dravlog_log_server(const char* text) {
  r_dravlog_log("Server Change     %s\n", text);
}

void r_dravlog_finish() {
  if (gpo_file_log != nullptr) {
    std::fflush(gpo_file_log);
  }
  go_owned_log.reset();
  gpo_file_log = nullptr;
  if (gpo_file_error != nullptr) {
    std::fflush(gpo_file_error);
  }
  gpo_file_error = nullptr;
}

void r_dravlog_set_fatal_handler(ts_fatal_handler handler) {
  gpf_fatal_handler = handler;
}

void r_dravlog_exit_started() {
  gb_exit_started = true;
}
