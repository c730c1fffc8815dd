#include "drav_config.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "drav_ip.h"
#include "drav_log.h"
#include "drav_tools.h"

namespace {

// The keys that every file must hold come first in the table; the optional ones follow, so that
// a configuration written before they existed stays valid.
constexpr int REQUIRED_KEY_COUNT = 24;
constexpr int CONFIG_KEY_COUNT = 25;
// Lines are read in pieces of at most 2047 bytes. A file line only; the remote console's
// limit of a command text (drav_net) is another quantity, of the same size by chance.
constexpr std::size_t CONFIG_LINE_SIZE = 2048;

// One row of the configuration's key table: where a key's value goes.
struct ts_config_key {
  const char* pc_key;
  char* pac_text;
  std::int32_t* pi_int;
};

// The monitor's hold on its folder: the configuration file, locked while it runs.
ts_file_descriptor go_lock;

// How long a start waits before it asks a resolver that could not answer again.
constexpr time_t RESOLVE_RETRY_SECONDS = 5;

// The key table in file order, then the comment marker and the end of the table. The server
// address is read as text and converted once the whole file has been read.
struct ts_config_table {
  std::array<std::int32_t, CONFIG_KEY_COUNT> ab_found{};
  std::array<ts_parse_entry, CONFIG_KEY_COUNT + 2> ats_entries{};

  explicit ts_config_table(ts_config& config) {
    const std::array<ts_config_key, CONFIG_KEY_COUNT> keys = {{
        {"log_file=", config.log_file, nullptr},
        {"log_file_ip=", config.log_file_ip, nullptr},
        {"net_server_ip=", config.net_server_ip_text, nullptr},
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
        {"event_file=", config.event_file, nullptr},
    }};
    for (int i = 0; i < CONFIG_KEY_COUNT; ++i) {
      const ts_config_key& key = keys[i];
      ats_entries[i] = ts_parse_entry{key.pac_text != nullptr ? PARSE_TEXT : PARSE_INT,
                                      key.pac_text, key.pi_int, &ab_found[i], key.pc_key};
    }
    ats_entries[CONFIG_KEY_COUNT] = ts_parse_entry{PARSE_MARKER, nullptr, nullptr, nullptr, ";"};
    ats_entries[CONFIG_KEY_COUNT + 1] =
        ts_parse_entry{PARSE_MARKER, nullptr, nullptr, nullptr, nullptr};
  }
};

// Where the file was looked for, for a message about it: "<full path>: <reason> (the
// working folder is <folder>)".
std::string r_dravconfig_where(const char* path, int error) {
  std::error_code ignored;
  const std::filesystem::path folder = std::filesystem::current_path(ignored);
  const std::filesystem::path full = std::filesystem::absolute(path, ignored);
  return full.string() + ": " + std::strerror(error) + " (the working folder is " +
         folder.string() + ")";
}

void r_dravconfig_read_lines(std::FILE* file, const ts_parse_entry* table, const char* path) {
  char line[CONFIG_LINE_SIZE];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (r_dravtools_remove_eol(line) == 0) {
      continue;
    }
    if (r_dravtools_parse_data(table, line) == 0) {
      r_dravlog_error("./src/drav_config - Unknown config parameter: %s\n", line);
    }
  }
  if (std::ferror(file) != 0) {
    // A folder of that name opens but cannot be read: as good as no file.
    r_dravlog_error("./src/drav_config - Config file not found\n%s\n",
                    r_dravconfig_where(path, errno).c_str());
  }
}

// The keys that the file lacks, without their "=", comma-separated.
std::string r_dravconfig_missing(const ts_config_table& table) {
  std::string missing;
  for (int i = 0; i < REQUIRED_KEY_COUNT; ++i) {
    if (table.ab_found[i] == 0) {
      const std::string_view key = table.ats_entries[i].pc_key;
      missing += (missing.empty() ? "" : ", ") + std::string(key.substr(0, key.size() - 1));
    }
  }
  return missing;
}

// A text made of what a dotted address is made of is meant as one, never as a name: the
// resolver would read "192.0.2" as 192.0.0.2.
bool r_dravconfig_is_dotted(const char* text) {
  return text[0] != '\0' && std::strspn(text, "0123456789.+- \t") == std::strlen(text);
}

[[noreturn]] void r_dravconfig_bad_server(const char* text, const std::string& why) {
  r_dravlog_error("./src/drav_config - Invalid server address: net_server_ip=%s\n%s\n", text,
                  why.c_str());
}

void r_dravconfig_sleep(time_t seconds) {
  timespec wait{seconds, 0};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

}  // namespace

void r_dravconfig_read_config(ts_config& config, const char* path) {
  ts_config_table table(config);
  r_dravtools_parse_init(table.ats_entries.data());

  {
    ts_file_ptr file(std::fopen(path, "rb"));
    if (!file) {
      r_dravlog_error("./src/drav_config - Config file not found\n%s\n",
                      r_dravconfig_where(path, errno).c_str());
    }
    r_dravconfig_read_lines(file.get(), table.ats_entries.data(), path);
  }

  for (int i = 0; i < REQUIRED_KEY_COUNT; ++i) {
    if (table.ab_found[i] == 0) {
      r_dravlog_error("./src/drav_config - Not all variables found (%d): %s\nMissing keys: %s\n",
                      i, table.ats_entries[i].pc_key, r_dravconfig_missing(table).c_str());
    }
  }
  config.net_server_ip = r_dravip_string_to_ip(config.net_server_ip_text);
}

bool r_dravconfig_resolve_server(ts_config& config, bool wait) {
  const char* text = config.net_server_ip_text;
  if (r_dravconfig_is_dotted(text)) {
    config.net_server_ip = r_dravip_string_to_ip(text);
    // 0.0.0.0 names this machine (a server beside the monitor); every other 0 is a failed parse.
    if (config.net_server_ip == 0 && std::strcmp(text, "0.0.0.0") != 0) {
      r_dravconfig_bad_server(text, "It is no IPv4 address (four numbers of 0 to 255)");
    }
    return true;
  }
  bool told = false;
  for (;;) {
    const ts_resolve_outcome outcome = r_dravip_resolve_host(text);
    if (outcome.te_result == RESOLVE_OK) {
      config.net_server_ip = outcome.ip;
      if (told) {
        r_dravlog_notice("./src/drav_config - net_server_ip=%s is %s\n", text,
                         r_dravip_ip_to_text(outcome.ip).c_str());
      }
      return true;
    }
    if (outcome.te_result == RESOLVE_UNKNOWN) {
      r_dravconfig_bad_server(text, "It is no IPv4 address and no known host name (" +
                                        outcome.pc_reason + ")");
    }
    if (!told) {
      const std::string again =
          wait ? ": trying again every " + std::to_string(RESOLVE_RETRY_SECONDS) + " s" : "";
      r_dravlog_notice("./src/drav_config - net_server_ip=%s could not be resolved now (%s)%s\n",
                       text, outcome.pc_reason.c_str(), again.c_str());
      told = true;
    }
    if (!wait) {
      return false;
    }
    r_dravconfig_sleep(RESOLVE_RETRY_SECONDS);
  }
}

void r_dravconfig_lock(const char* path) {
  go_lock.reset(open(path, O_RDONLY | O_CLOEXEC));
  if (go_lock && flock(go_lock.get(), LOCK_EX | LOCK_NB) == 0) {
    // The exclusive lock keeps a second monitor out; a shared record lock beside it tells
    // that monitor whose it is.
    struct flock record{};
    record.l_type = F_RDLCK;
    record.l_whence = SEEK_SET;
    (void)fcntl(go_lock.get(), F_SETLK, &record);  // without it the pid stays untold
    return;
  }
  const int error = errno;
  std::error_code ignored;
  const std::string folder = std::filesystem::current_path(ignored).string();
  if (!go_lock || error != EWOULDBLOCK) {
    r_dravlog_error("./src/drav_config - Folder %s could not be locked\n%s\n", folder.c_str(),
                    r_dravconfig_where(path, error).c_str());
  }
  struct flock holder{};
  holder.l_type = F_WRLCK;
  holder.l_whence = SEEK_SET;
  const bool known = fcntl(go_lock.get(), F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK;
  r_dravlog_error("./src/drav_config - Folder %s is in use by another monitor (process %s)\n",
                  folder.c_str(), known ? std::to_string(holder.l_pid).c_str() : "unknown");
}

void r_dravconfig_finish() {
  go_lock.reset();
}
