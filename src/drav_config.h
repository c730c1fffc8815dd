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
};

/// Fills `config` from the file at `path`. Ends the program through r_dravlog_error when the
/// file is missing, holds a line that is no key, comment or empty line, or lacks a key.
void r_dravconfig_read_config(ts_config& config, const char* path);
