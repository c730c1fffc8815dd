// The log stream (time-stamped event lines, also shown in the log pane) and the
// error stream (the one message of a fatal error).
#pragma once

struct ts_config;
struct ts_status_line;

/// Kind of a player event; each has a 10-character label in the log.
enum te_log_kind : int {
  LOG_CONNECT = 0,
  LOG_DISCONNECT = 1,
  LOG_CHANGE = 2,
  LOG_RECONNECT = 3,
  LOG_BLOCK = 4,
  LOG_REJECT = 5,
  LOG_ADMIN_KICK = 6,
  LOG_ADMIN_BAN = 7,
};

/// Log lines go to standard output and errors to standard error.
void r_dravlog_init_first();
/// Opens the configured log file for appending, or drops the log stream when `log_file` is
/// empty. A file that cannot be opened is fatal.
void r_dravlog_init(const ts_config& config);
/// Writes "\n\n", the time stamp, a blank and the message to the error stream, waits for one
/// byte of standard input and ends the program with status 1.
[[noreturn]] [[gnu::format(printf, 1, 2)]] void r_dravlog_error(const char* format, ...);
/// Writes one time-stamped log line: to the log pane with its colour codes, to the log
/// stream without them, flushed at once.
[[gnu::format(printf, 1, 2)]] void r_dravlog_log(const char* format, ...);
/// Writes "Client <label> <num> <address> <name>" for a player event.
void r_dravlog_log_player(te_log_kind kind, const ts_status_line& line);
/// Writes "Server Change     <text>".
void r_dravlog_log_server(const char* text);
/// Closes the log and error streams.
void r_dravlog_finish();
/// Test seam for harnesses that feed hostile files in a loop: while a handler is set,
/// r_dravlog_error formats its message, passes it to the handler and expects it not to return
/// (it throws, so the caller's resources unwind); nothing is written and the process goes on.
/// A handler that returns falls back to the normal fatal path. The program never sets one.
using ts_fatal_handler = void (*)(const char* message);
void r_dravlog_set_fatal_handler(ts_fatal_handler handler);
/// Tells the fatal path that the exit handlers are running, so that a fatal error inside
/// them ends the program at once instead of running them a second time.
void r_dravlog_exit_started();
