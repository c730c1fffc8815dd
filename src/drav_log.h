// Layer 2 (configuration and log): calls the pane below it and layer 1.
// The log stream (time-stamped event lines, also shown in the log pane) and the
// error stream (the one message of a fatal error).
#pragma once

struct ts_append_outcome;
class ts_append_queue;

/// Log lines go to standard output and errors to standard error. The log listens to the
/// events (drav_event) from here until r_dravlog_finish: a player event becomes "Client
/// <label> <num> <address> <name>", a ban from the IP list "IP     Admin ban  <address>", a
/// server change "Server Change     <map>" (log pane and log stream, stamped with the event's
/// time); the server's notices go to the log pane, a write that worked again is a warning.
void r_dravlog_init_first();
/// Opens the log file at `path` (the configuration's `log_file`) for appending, or drops the
/// log stream when the path is empty. A file that cannot be opened is fatal. Listens to the
/// events like r_dravlog_init_first.
void r_dravlog_init(const char* path);
/// What r_dravlog_init needs of the log file at `path`, asked without creating or opening it:
/// a fatal error with r_dravlog_init's message when the file could not be opened for appending.
void r_dravlog_check_file(const char* path);
/// Writes "\n\n", the time stamp, a blank and the message to the error stream, waits for one
/// byte of standard input (any key: a terminal there is read in character mode, then given
/// its mode back) and ends the program with status 1.
[[noreturn]] [[gnu::format(printf, 1, 2)]] void r_dravlog_error(const char* format, ...);
/// Writes one time-stamped log line: to the log pane with its colour codes, to the log
/// stream without them, whole or not at all. A text too long for the 1024-byte line is cut
/// before its line feed. A failing log file is reported by r_dravlog_notice once, and again
/// only after writes had worked in between; it never stops the program.
[[gnu::format(printf, 1, 2)]] void r_dravlog_log(const char* format, ...);
/// Writes one time-stamped line to the log pane only (never to the log file), and to the
/// error stream as well while no screen shows the pane.
[[gnu::format(printf, 1, 2)]] void r_dravlog_notice(const char* format, ...);
/// Writes one time-stamped line like r_dravlog_log (log pane and log stream), and to the error
/// stream as well while no screen shows the pane: for faults that the monitor rides out and
/// that the operator must learn of wherever the program runs.
[[gnu::format(printf, 1, 2)]] void r_dravlog_warn(const char* format, ...);
/// Tells what the last append or retry of `queue` did, as lines of r_dravlog_warn that start
/// with `label`: the first failure with its reason and the entries that wait, once; the first
/// entry dropped past the queue's bound, once; and, when nothing waits any more after a
/// failure, how many waiting entries were written and how many were dropped (told as the
/// event EVENT_WRITTEN_LATE).
void r_dravlog_tell_append(const char* label, ts_append_queue& queue,
                           const ts_append_outcome& outcome);
/// Tells the log whether the screen holds the terminal and shows the log pane (false until
/// the screen says so); while it does, notices do not go to the error stream.
void r_dravlog_set_screen_active(bool active);
/// Gives the terminal back to the shell.
using ts_log_release_function = void (*)();
/// Registers the function that the fatal path calls before writing its message, so that the
/// message stays readable after the program ends (null: none). The screen registers itself
/// here while it holds the terminal, so that the log needs nothing above it.
void r_dravlog_set_release_function(ts_log_release_function release);
/// With true, every log line also goes to standard output (when that is not already the log
/// stream), without colour codes and flushed at once; for running without the screen.
void r_dravlog_set_echo_stdout(bool echo);
/// With false, a fatal error ends the program without waiting for a key; for running
/// without an operator at a terminal. True at start.
void r_dravlog_set_wait_for_key(bool wait);
/// Closes the log and error streams and stops listening to the events.
void r_dravlog_finish();
/// For callers that end a failed read their own way (harnesses that feed hostile files in a
/// loop, one-shot commands with their own status and message): while a handler is set,
/// r_dravlog_error formats its message, passes it to the handler and expects it not to return
/// (it throws, so the caller's resources unwind); nothing is written and the process goes on.
/// A handler that returns falls back to the normal fatal path.
using ts_fatal_handler = void (*)(const char* message);
void r_dravlog_set_fatal_handler(ts_fatal_handler handler);
/// Tells the fatal path that the exit handlers are running, so that a fatal error inside
/// them ends the program at once instead of running them a second time.
void r_dravlog_exit_started();
