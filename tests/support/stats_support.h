// A tracker bench: the simulated server, a temporary folder, modules started in order, a clock.
#pragma once

#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "drav_config.h"
#include "drav_ip.h"
#include "drav_statsparse.h"
#include "sim_server.h"
#include "support.h"

namespace drav_test {

using Lines = std::vector<std::string>;
/// What one poll did: the commands the server received, then the log lines written.
using Polled = std::pair<Lines, Lines>;

class StatsBench {
 public:
  /// `access_list` becomes the access_list_file; `configure` adjusts settings before any start.
  explicit StatsBench(const std::string& access_list = "",
                      const std::function<void(ts_config&)>& configure = {});
  ~StatsBench();

  std::string history() const { return read_file(config.log_file_ip); }

  /// Polls at `now`, then advances `now` by poll_interval_status. Returns what happened since
  /// the last call; log lines lose their time stamp (checked) and keep their line feed.
  Polled poll();

  drav_sim::SimServer server{"secret"};
  ts_config config;
  ts_status status;
  std::time_t now = 1'700'000'000;
  std::vector<int> ports;
  /// Host names the resolver gives for an address (dotted text); others have none.
  std::map<std::string, ts_hostent> hostnames;

 private:
  TempDir dir_;
  std::size_t log_offset_ = 0;
};

drav_sim::Player player(const std::string& name, const std::string& ip, int qport,
                        bool connecting = false);
/// A player event line of the log file, e.g. client_line("Connect   ", 3, "192.0.2.1", "Al").
std::string client_line(const std::string& label, int num, const std::string& address,
                        const std::string& name);

}  // namespace drav_test
