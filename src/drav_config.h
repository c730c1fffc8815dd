// Layer 2 (configuration and log): above the log, through which its reader reports errors.
// The configuration record and its reader.
#pragma once

#include <cstdint>

#include "drav_tools.h"

/// Everything "drav-logger.cfg" holds, one field per key, in the file's key order.
struct ts_config {
  char log_file[TEXT_FIELD_SIZE] = {};
  char log_file_ip[TEXT_FIELD_SIZE] = {};
  std::uint64_t net_server_ip = 0;
  std::int32_t net_server_port = 0;
  char net_server_rcon[TEXT_FIELD_SIZE] = {};
  std::int32_t net_client_port = 0;
  std::int32_t net_response_timeout_1 = 0;
  std::int32_t net_response_timeout_next = 0;
  std::int32_t access_level = 0;
  std::int32_t access_reconnect_timeout = 0;
  std::int32_t access_kicked_reject_timeout = 0;
  char access_list_file[TEXT_FIELD_SIZE] = {};
  char access_list_file_add[TEXT_FIELD_SIZE] = {};
  std::int32_t say_init = 0;
  std::int32_t say_connect_incoming = 0;
  std::int32_t say_connect_block = 0;
  std::int32_t say_connect_reject_kicked = 0;
  std::int32_t say_connect_cancel = 0;
  std::int32_t poll_interval_status = 0;
  std::int32_t poll_interval_dumpuser = 0;
  std::int32_t poll_interval_serverinfo = 0;
  std::int32_t ping_kick = 0;
  std::int32_t console_color = 0;
  std::int32_t player_color = 0;
  /// Optional: the file that every event is appended to as a JSON line (empty: none).
  char event_file[TEXT_FIELD_SIZE] = {};
  /// `net_server_ip` as written: a dotted address or a host name.
  char net_server_ip_text[TEXT_FIELD_SIZE] = {};
};

/// Fills `config` from the file at `path`. Ends the program through r_dravlog_error when the
/// file is missing, holds a line that is no key, comment or empty line, or lacks a key that is
/// not optional (`event_file` is).
void r_dravconfig_read_config(ts_config& config, const char* path);
/// Sets `net_server_ip` from its text: a dotted address as it is, a host name through the
/// resolver (its first IPv4 address). Other text, a dotted text that is no address and a
/// name that does not exist are fatal. When the resolver cannot answer for now, that is told
/// once; then with `wait` it is asked again every few seconds until it answers, and without,
/// false is returned (true once the address is set).
bool r_dravconfig_resolve_server(ts_config& config, bool wait);
/// Holds the lock on the configuration file at `path` for this process: a second monitor in
/// the same folder is fatal, named with the folder and the first one's process id. The
/// system lets the lock go when the process ends, however it ends.
void r_dravconfig_lock(const char* path);
/// Lets the lock go.
void r_dravconfig_finish();
