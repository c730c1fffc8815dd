#include "drav_config.h"

#include <array>
#include <cstdio>
#include <memory>

#include "drav_ip.h"
#include "drav_log.h"
#include "drav_tools.h"

namespace {

constexpr int CONFIG_KEY_COUNT = 24;
// Lines are read in pieces of at most 2047 bytes.
constexpr std::size_t CONFIG_LINE_SIZE = 2048;

// One row of the configuration's key table: where a key's value goes.
struct ts_config_key {
  const char* key;
  char* text;
  std::int32_t* integer;
};

// The key table in file order, then the comment marker and the end of the table. The server
// address is read as text and converted once the whole file has been read.
struct ts_config_table {
  std::array<std::int32_t, CONFIG_KEY_COUNT> found{};
  std::array<ts_parse_entry, CONFIG_KEY_COUNT + 2> entries{};

  ts_config_table(ts_config& config, char* server_ip_text) {
    const std::array<ts_config_key, CONFIG_KEY_COUNT> keys = {{
        {"log_file=", config.log_file, nullptr},
        {"log_file_ip=", config.log_file_ip, nullptr},
        {"net_server_ip=", server_ip_text, nullptr},
        {"net_server_port=", nullptr, &config.net_server_port},
        {"net_server_rcon=", config.net_server_rcon, nullptr},
        {"net_client_port=", nullptr, &config.net_client_port},
        {"net_response_timeout_1=", nullptr, &config.net_response_timeout_1},
        {"net_response_timeout_next=", nullptr, &config.net_response_timeout_next},
        {"access_level=", nullptr, &config.access_level},
        {"access_reconnect_timeout=", nullptr, &config.access_reconnect_timeout},
        {"access_kicked_reject_timeout=", nullptr, &config.access_kicked_reject_timeout},
        {"access_list_file=", config.access_list_file, nullptr},
        {"access_list_file_add=", config.access_list_file_add, nullptr},
        {"say_init=", nullptr, &config.say_init},
        {"say_connect_incoming=", nullptr, &config.say_connect_incoming},
        {"say_connect_block=", nullptr, &config.say_connect_block},
        {"say_connect_reject_kicked=", nullptr, &config.say_connect_reject_kicked},
        {"say_connect_cancel=", nullptr, &config.say_connect_cancel},
        {"poll_interval_status=", nullptr, &config.poll_interval_status},
        {"poll_interval_dumpuser=", nullptr, &config.poll_interval_dumpuser},
        {"poll_interval_serverinfo=", nullptr, &config.poll_interval_serverinfo},
        {"ping_kick=", nullptr, &config.ping_kick},
        {"console_color=", nullptr, &config.console_color},
        {"player_color=", nullptr, &config.player_color},
    }};
    for (int i = 0; i < CONFIG_KEY_COUNT; ++i) {
      const ts_config_key& key = keys[i];
      entries[i] = ts_parse_entry{key.text != nullptr ? PARSE_TEXT : PARSE_INT, key.text,
                                  key.integer, &found[i], key.key};
    }
    entries[CONFIG_KEY_COUNT] = ts_parse_entry{PARSE_MARKER, nullptr, nullptr, nullptr, ";"};
    entries[CONFIG_KEY_COUNT + 1] =
        ts_parse_entry{PARSE_MARKER, nullptr, nullptr, nullptr, nullptr};
  }
};

void r_dravconfig_read_lines(std::FILE* file, const ts_parse_entry* table) {
  char line[CONFIG_LINE_SIZE];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (r_dravtools_remove_eol(line) == 0) {
      continue;
    }
    if (r_dravtools_parse_data(table, line) == 0) {
      r_dravlog_error("./src/drav_config - Unknown config parameter: %s\n", line);
    }
  }
}

}  // namespace

void r_dravconfig_read_config(ts_config& config, const char* path) {
  char server_ip_text[TEXT_FIELD_SIZE] = {};
  ts_config_table table(config, server_ip_text);
  r_dravtools_parse_init(table.entries.data());

  {
    ts_file_ptr file(std::fopen(path, "rb"));
    if (!file) {
      r_dravlog_error("./src/drav_config - Config file not found\n");
    }
    r_dravconfig_read_lines(file.get(), table.entries.data());
  }

  for (int i = 0; i < CONFIG_KEY_COUNT; ++i) {
    if (table.found[i] == 0) {
      r_dravlog_error("./src/drav_config - Not all variables found (%d): %s\n", i,
                      table.entries[i].pc_key);
    }
  }
  config.net_server_ip = r_dravip_string_to_ip(server_ip_text);
}
