#include "stats_support.h"

#include <poll.h>

#include <gtest/gtest.h>

#include "drav_access.h"
#include "drav_listip.h"
#include "drav_log.h"
#include "drav_net.h"
#include "drav_stats.h"
#include "drav_tools.h"

namespace drav_test {

StatsBench::StatsBench(const std::string& access_list,
                       const std::function<void(ts_config&)>& configure) {
  // Every setting not named here stays 0.
  config = make_config(server.port(), 0, 0, 300);
  r_dravtools_varcpy(config.log_file, dir_.file("drav.log").c_str());
  r_dravtools_varcpy(config.log_file_ip, dir_.file("ip.txt").c_str());
  config.access_level = 1;
  config.access_reconnect_timeout = 60;
  config.access_kicked_reject_timeout = 300;
  r_dravtools_varcpy(config.access_list_file, dir_.file("access.txt").c_str());
  r_dravtools_varcpy(config.access_list_file_add, dir_.file("access-add.txt").c_str());
  config.poll_interval_status = 10;
  config.ping_kick = 500;
  config.console_color = 0x03;
  config.player_color = 0x06;
  if (configure)
    configure(config);
  write_file(config.access_list_file, access_list);
  write_file(config.log_file_ip, "");

  r_dravlog_init_first();
  r_dravlog_init(config.log_file);
  r_dravaccess_init(config);
  r_dravlistip_init(config);
  r_dravnet_init(config);
  r_dravip_set_resolver([this](std::uint32_t ip) -> std::optional<ts_hostent> {
    const auto found = hostnames.find(r_dravip_ip_to_text(ip).c_str());
    return found == hostnames.end() ? std::nullopt : std::optional(found->second);
  });
  r_dravstats_init(config, status);
}

StatsBench::~StatsBench() {
  r_dravstats_finish();
  r_dravnet_finish();
  r_dravlistip_finish();
  r_dravaccess_finish();
  r_dravip_set_resolver({});
  r_dravlog_finish();
  r_dravlog_init_first();
}

Polled StatsBench::poll() {
  r_dravstats_update(now);
  // The history records a new player when the look-up of the address ends; the wake-up
  // descriptor tells when answers wait, and a look-up never waits beyond its bound.
  for (r_dravlistip_run(); r_dravlistip_lookups_waiting() > 0; r_dravlistip_run()) {
    pollfd wake{r_dravip_lookup_descriptor(), POLLIN, 0};
    (void)::poll(&wake, 1, 1000);
  }
  // A command still on its way would count for the next poll, acting on players changed since.
  EXPECT_TRUE(server.wait_until_handled(10'000));
  now += config.poll_interval_status;
  Polled polled;
  ports.clear();
  for (const drav_sim::ReceivedCommand& command : server.commands()) {
    polled.first.push_back(command.command);
    ports.push_back(command.source_port);
  }
  server.clear_commands();
  const std::string log = read_file(config.log_file);
  // A last line without its line feed is not complete yet.
  for (std::size_t end; (end = log.find('\n', log_offset_)) != std::string::npos;) {
    polled.second.push_back(without_stamp(log.substr(log_offset_, end + 1 - log_offset_)));
    log_offset_ = end + 1;
  }
  return polled;
}

drav_sim::Player player(const std::string& name, const std::string& ip, int qport,
                        bool connecting) {
  return {.name = name, .ip = ip, .qport = qport, .connecting = connecting, .userinfo = {}};
}

std::string client_line(const std::string& label, int num, const std::string& address,
                        const std::string& name) {
  char head[64];
  std::snprintf(head, sizeof head, "Client %s %02d %-15s ", label.c_str(), num, address.c_str());
  return head + name + "\n";
}

}  // namespace drav_test
