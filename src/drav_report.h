// Layer 4 (tracker, reports): calls layers 1 to 3.
// The reports of the command line (--check-config and --find): they read the files as a
// start does, print what they hold and end, without contacting the server.
#pragma once

#include <string_view>

struct ts_config;

/// Reads `config_file` into `config`, the access lists and the IP history as a start would,
/// checks that the log file can be opened and prints one line of what they hold; writes no
/// file. An error is the start's fatal message, without the wait for a key. Returns 0.
int r_dravreport_check_config(ts_config& config, const char* config_file);
/// Reads the files like r_dravreport_check_config (a file that cannot be read is told on
/// standard error at once), prints the IP history entries that `query` finds, then for a
/// text the other names seen on their addresses. Returns the exit status: 0 when something
/// matched, 1 when nothing did, 2 for a bad query, a file that cannot be read or standard
/// output that takes no text.
int r_dravreport_find(ts_config& config, const char* config_file, std::string_view query);
