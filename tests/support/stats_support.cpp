#include "stats_support.h"

#include <gtest/gtest.h>

#include <fstream>

#include "drav_access.h"
#include "drav_listip.h"
#include "drav_log.h"
#include "drav_net.h"
#include "drav_screen.h"
#include "drav_stats.h"
#include "drav_tools.h"

namespace drav_test {

StatsBench::StatsBench(const std::string& access_list,
                       const std::function<void(ts_config&)>& configure)
    : server_(std::make_unique<drav_sim::SimServer>("s3cret")),
      status_(std::make_unique<ts_status>()) {
  // Every setting not named here stays 0.
  r_dravtools_varcpy(config_.log_file, dir_.file("drav.log").c_str());
  r_dravtools_varcpy(config_.log_file_ip, dir_.file("ip.txt").c_str());
  config_.net_server_ip = 0x7F000001;
  config_.net_server_port = server_->port();
  r_dravtools_varcpy(config_.net_server_rcon, "s3cret");
  config_.net_response_timeout_1 = 300;
  config_.access_level = 1;
  config_.access_reconnect_timeout = 60;
  config_.access_kicked_reject_timeout = 300;
  r_dravtools_varcpy(config_.access_list_file, dir_.file("access.txt").c_str());
  r_dravtools_varcpy(config_.access_list_file_add, dir_.file("access-add.txt").c_str());
  config_.poll_interval_status = 10;
  config_.ping_kick = 500;
  config_.console_color = 0x03;
  config_.player_color = 0x06;
  if (configure) {
    configure(config_);
  }
  write_file(config_.access_list_file, access_list);
  write_file(config_.log_file_ip, "");

  r_dravlog_init_first();
  r_dravlog_init(config_);
  r_dravaccess_init(config_);
  r_dravlistip_init(config_);
  r_dravnet_init(config_);
  r_dravip_set_resolver([this](std::uint32_t ip) -> std::optional<ts_hostent> {
    const auto found = hostnames.find(r_dravip_ip_to_text(ip).c_str());
    return found == hostnames.end() ? std::nullopt : std::optional(found->second);
  });
  r_dravstats_init(config_, *status_);
}

StatsBench::~StatsBench() {
  r_dravnet_finish();
  r_dravip_set_resolver({});
  r_dravlog_finish();
  r_dravlog_init_first();
}

Polled StatsBench::poll() {
  r_dravstats_update(now);
  now += config_.poll_interval_status;
  Polled polled;
  ports.clear();
  for (const drav_sim::ReceivedCommand& command : server_->commands()) {
    polled.first.push_back(command.command);
    ports.push_back(command.source_port);
  }
  server_->clear_commands();
  std::ifstream in(config_.log_file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(log_offset_));
  std::string line;
  // A last line without its line feed is not complete yet.
  while (std::getline(in, line) && !in.eof()) {
    log_offset_ += line.size() + 1;
    polled.second.push_back(without_stamp(line + "\n"));
  }
  return polled;
}

std::string StatsBench::pane_last() const {
  const int count = r_dravscreen_log_line_count();
  return count == 0 ? "" : without_stamp(r_dravscreen_log_line(count - 1));
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
