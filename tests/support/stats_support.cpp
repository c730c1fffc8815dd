#include "stats_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "drav_access.h"
#include "drav_listip.h"
#include "drav_log.h"
#include "drav_net.h"
#include "drav_screen.h"
#include "drav_stats.h"
#include "drav_tools.h"

namespace drav_test {

namespace {

constexpr std::size_t STAMP_LENGTH = 20;  // "YYYY-MM-DD hh:mm:ss "

std::string strip_stamp(const std::string& line) {
  static const std::regex stamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )");
  EXPECT_TRUE(line.size() >= STAMP_LENGTH && std::regex_match(line.substr(0, STAMP_LENGTH), stamp))
      << "no time stamp: " << line;
  return line.size() >= STAMP_LENGTH ? line.substr(STAMP_LENGTH) : line;
}

}  // namespace

StatsBench::StatsBench(const std::string& access_list,
                       const std::function<void(ts_config&)>& configure)
    : server_(std::make_unique<drav_sim::SimServer>(SIM_PASSWORD)),
      status_(std::make_unique<ts_status>()) {
  r_dravtools_varcpy(config_.log_file, dir_.file("drav.log").c_str());
  r_dravtools_varcpy(config_.log_file_ip, dir_.file("ip.txt").c_str());
  config_.net_server_ip = 0x7F000001;
  config_.net_server_port = server_->port();
  r_dravtools_varcpy(config_.net_server_rcon, SIM_PASSWORD);
  config_.net_client_port = 0;
  config_.net_response_timeout_1 = 300;
  config_.net_response_timeout_next = 0;
  config_.access_level = 1;
  config_.access_reconnect_timeout = 60;
  config_.access_kicked_reject_timeout = 300;
  r_dravtools_varcpy(config_.access_list_file, dir_.file("access.txt").c_str());
  r_dravtools_varcpy(config_.access_list_file_add, dir_.file("access-add.txt").c_str());
  config_.say_connect_incoming = 0;
  config_.say_connect_block = 0;
  config_.say_connect_reject_kicked = 0;
  config_.say_connect_cancel = 0;
  config_.poll_interval_status = 10;
  config_.poll_interval_dumpuser = 0;
  config_.poll_interval_serverinfo = 0;
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
    if (found == hostnames.end()) {
      return std::nullopt;
    }
    return found->second;
  });
  r_dravstats_init(config_, *status_);
}

StatsBench::~StatsBench() {
  r_dravnet_finish();
  r_dravip_set_resolver({});
  r_dravlog_finish();
  r_dravlog_init_first();
}

void StatsBench::poll() {
  r_dravstats_update(now);
  now += config_.poll_interval_status;
}

std::vector<std::string> StatsBench::new_log_lines() {
  std::ifstream in(config_.log_file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(log_offset_));
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (in.eof()) {
      break;  // a line without its line feed is not complete yet
    }
    log_offset_ += line.size() + 1;
    lines.push_back(strip_stamp(line + "\n"));
  }
  return lines;
}

std::vector<std::string> StatsBench::pane_tail(int count) const {
  const int total = r_dravscreen_log_line_count();
  std::vector<std::string> lines;
  for (int index = std::max(0, total - count); index < total; ++index) {
    lines.push_back(strip_stamp(r_dravscreen_log_line(index)));
  }
  return lines;
}

std::vector<drav_sim::ReceivedCommand> StatsBench::new_commands() {
  std::vector<drav_sim::ReceivedCommand> commands = server_->commands();
  server_->clear_commands();
  return commands;
}

std::vector<std::string> StatsBench::new_command_texts() {
  std::vector<std::string> texts;
  for (const drav_sim::ReceivedCommand& command : new_commands()) {
    texts.push_back(command.command);
  }
  return texts;
}

PlayerEvent parse_player_event(const std::string& line) {
  static const std::regex layout(R"(Client (.{10}) (\d{2,}) (\S+) *([^\n]*)\n?)");
  std::smatch match;
  PlayerEvent event;
  if (!std::regex_match(line, match, layout)) {
    return event;
  }
  event.label = match[1];
  event.num = std::stoi(match[2]);
  event.address = match[3];
  event.name = match[4];
  return event;
}

std::string say_command(char color, const std::string& message) {
  return std::string("say \"-\r") + color + "*** " + message + " " + color + "***\"";
}

}  // namespace drav_test
