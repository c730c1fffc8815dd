// A tracker bench for tests: a simulated game server on 127.0.0.1, a configuration whose
// files live in a temporary folder, every module the tracker uses started in the program's
// order, and a controlled clock.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "drav_config.h"
#include "drav_ip.h"
#include "drav_statsparse.h"
#include "sim_server.h"
#include "support.h"

namespace drav_test {

/// One player event line of the log, split into its columns.
struct PlayerEvent {
  std::string label;  // the 10-character label, e.g. "Connect   "
  int num = -1;
  std::string address;  // dotted text without padding
  std::string name;
  auto operator<=>(const PlayerEvent&) const = default;
};

/// The password the simulated server expects.
inline constexpr const char* SIM_PASSWORD = "s3cret";

class StatsBench {
 public:
  /// `access_list` becomes the access_list_file; `configure` adjusts the defaults before any
  /// module starts.
  explicit StatsBench(const std::string& access_list = "",
                      const std::function<void(ts_config&)>& configure = {});
  ~StatsBench();
  StatsBench(const StatsBench&) = delete;
  StatsBench& operator=(const StatsBench&) = delete;

  drav_sim::SimServer& server() { return *server_; }
  ts_config& config() { return config_; }
  ts_status& status() { return *status_; }
  const TempDir& dir() const { return dir_; }

  /// The clock of the next poll; each poll() advances it by poll_interval_status.
  std::time_t now = 1'700'000'000;
  /// Runs one poll at `now`, then advances the clock.
  void poll();

  /// Host names the resolver gives for an address (dotted text); others have none.
  std::map<std::string, ts_hostent> hostnames;

  /// Log file lines written since the last call, time stamp and its blank removed (each
  /// checked to be "YYYY-MM-DD hh:mm:ss "), line feeds kept.
  std::vector<std::string> new_log_lines();
  /// The last `count` lines of the log pane, time stamp removed, colour codes kept.
  std::vector<std::string> pane_tail(int count) const;
  /// Commands the server received since the last call.
  std::vector<drav_sim::ReceivedCommand> new_commands();
  /// Only the texts of new_commands().
  std::vector<std::string> new_command_texts();
  /// The IP history file.
  std::string history() const { return read_file(config_.log_file_ip); }

 private:
  TempDir dir_;
  std::unique_ptr<drav_sim::SimServer> server_;
  ts_config config_;
  std::unique_ptr<ts_status> status_;
  std::size_t log_offset_ = 0;
};

/// Parses a player event line ("Client <label> <num> <address> <name>\n"); label empty when
/// the line is no player event.
PlayerEvent parse_player_event(const std::string& line);

/// The "say" command the server receives for `message` in colour `color`.
std::string say_command(char color, const std::string& message);

}  // namespace drav_test
