// Layer 2 (configuration and log): above the log, through which it tells its failures.
// The event file: every event as one JSON line, appended, for the operator's own tools.
#pragma once

#include <string>

struct ts_event;

/// Listens to the events and appends each to the file at `path` (created when missing) as one
/// JSON line, written whole in one write and never buffered; an empty path writes nothing. A
/// file that cannot be opened or written is told once (r_dravlog_warn) until a write works
/// again, which is told with the count of events missing from it; the monitor goes on, and
/// every later event tries again.
void r_draveventfile_init(const char* path);
/// Stops listening and closes the file.
void r_draveventfile_finish();
/// The JSON text of `event`, one line without its line feed: "time" and "kind" always, the
/// other fields where the kind has them. "name" is the name as the screen shows it (UTF-8),
/// "name_hex" the bytes the server sent.
std::string r_draveventfile_json(const ts_event& event);
