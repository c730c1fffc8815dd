// Events: the list of listeners, and the event file beside the log over the simulated server.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "drav_event.h"
#include "drav_eventfile.h"
#include "drav_ip.h"
#include "drav_log.h"
#include "drav_pane.h"
#include "drav_stats_event.h"
#include "sim_demo.h"
#include "stats_support.h"

namespace {

std::string gpc_heard;
void hear_a(const ts_event& event) {
  gpc_heard += "a" + std::to_string(event.i_slot);
}
void hear_b(const ts_event& event) {
  gpc_heard += "b" + std::to_string(event.i_slot);
  r_dravevent_remove_listener(hear_b);  // from the next event on
}

TEST(Events, ListenersHearEachEventInTheOrderTheyWereAddedUntilRemoved) {
  ts_event event;
  event.i_slot = 0;
  const struct {
    void (*change)(ts_event_listener);
    ts_event_listener listener;
    std::string heard;
  } steps[] = {
      {r_dravevent_add_listener, hear_b, "b0"},   {r_dravevent_add_listener, hear_a, "a1"},
      {r_dravevent_add_listener, hear_b, "a2b2"}, {r_dravevent_add_listener, hear_a, "a3"},
      {r_dravevent_remove_listener, hear_a, ""},  {r_dravevent_remove_listener, hear_a, ""},
  };
  r_dravlog_finish();  // the log listens from its start on
  for (const auto& step : steps) {
    step.change(step.listener);
    gpc_heard.clear();
    r_dravevent_tell(event);
    EXPECT_EQ(gpc_heard, step.heard) << event.i_slot;
    ++event.i_slot;
  }
  r_dravlog_init_first();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1)
    lines.push_back(text.substr(start, end + 1 - start));
  return lines;
}

std::string bytes_of(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

// The log line that the event stands for, made from its JSON text.
std::string log_line_of(const nlohmann::json& event) {
  static const std::map<std::string, std::string> labels = {
      {"connect", "Connect   "},    {"disconnect", "Disconnect"}, {"change", "Change    "},
      {"reconnect", "Reconnect "},  {"block", "Block     "},      {"reject", "Reject    "},
      {"admin_kick", "Admin kick"}, {"admin_ban", "Admin ban "}};
  std::string name;
  for (const char c : bytes_of(event.value("name_hex", "")))
    if (!r_dravtools_is_color_code(static_cast<unsigned char>(c)))
      name += c;
  char text[1200];
  const std::string kind = event["kind"], address = event.value("address", "");
  if (kind == "server_change")
    std::snprintf(text, sizeof text, "Server Change     %s", name.c_str());
  else if (!event.contains("slot"))
    std::snprintf(text, sizeof text, "IP     Admin ban  %-15s", address.c_str());
  else
    std::snprintf(text, sizeof text, "Client %s %02d %-15s %s", labels.at(kind).c_str(),
                  event["slot"].get<int>(), address.c_str(), name.c_str());
  return event["time"].get<std::string>() + " " + text + "\n";
}

// The demo's players for a while, then three players the operator kicks and bans, then a
// server that stops answering and comes back: each log line has its event, in order.
TEST(Events, EveryLogLineHasExactlyOneEventWithTheSameKindTimeSlotAddressAndName) {
  drav_test::StatsBench bench("0 203.0.113.0/24\n5 198.51.100.0/24\n",
                              [](ts_config& config) { config.poll_interval_status = 1; });
  const drav_test::TempDir dir;
  const std::string path = dir.file("events.json");
  r_draveventfile_init(path.c_str());
  drav_sim::DemoScript demo(bench.server);
  demo.start();
  for (int tick = 0; tick < 3 * drav_sim::DemoScript::CYCLE_TICKS; ++tick) {
    demo.tick();
    if (tick % 2 == 0)
      bench.poll();
  }
  bench.server.clear_players();
  bench.hostnames["192.0.2.99"] = {"red.example.org", {}};
  bench.server.set_player(2, drav_test::player("\x02Red\x8d\x7f\xe9", "192.0.2.99", 77));
  bench.server.set_player(4, drav_test::player("Bee", "192.0.2.98", 78));
  bench.server.set_player(6, drav_test::player("Sea", "192.0.2.97", 79));
  bench.poll();
  ts_status& status = bench.status;
  r_dravstats_admin_kick(status.ats_client[2]);
  r_dravstats_admin_ban(status, status.ats_client[4]);
  r_dravstats_admin_ban_ip(status, r_dravip_string_to_ip("192.0.2.97"));
  for (int poll = 0; poll < 2; ++poll)
    bench.poll();  // the kicks, then the departures
  bench.server.set_faults({.silent = true});
  for (int poll = 0; poll < 3; ++poll)
    bench.poll();
  bench.server.set_faults({});
  bench.poll();
  r_draveventfile_finish();

  const std::vector<std::string> log = lines_of(drav_test::read_file(bench.config.log_file));
  std::vector<std::string> made;
  std::map<std::string, int> kinds;
  std::string red;
  for (const std::string& line : lines_of(drav_test::read_file(path))) {
    const nlohmann::json event = nlohmann::json::parse(line);  // throws on a line that is no JSON
    const std::string kind = event["kind"];
    ++kinds[kind];
    if (kind == "host_names" || (kind == "connect" && event.value("address", "") == "192.0.2.99"))
      red +=
          kind + " " + event["name"].get<std::string>() + " " + event.value("host_names", "") + ";";
    if (kind.starts_with("server_") && kind != "server_change")
      made.push_back("notice " + event["reason"].get<std::string>().substr(0, 20));
    else if (kind != "host_names" && kind != "poll_done")
      made.push_back(log_line_of(event));
  }
  std::vector<std::string> expected = log;
  expected.push_back("notice Server Silent since ");
  expected.push_back("notice Server Replying agai");
  EXPECT_EQ(made, expected);
  // The screen shows game characters as their UTF-8 text; the host names follow the Connect.
  EXPECT_EQ(red,
            "connect Red\u2020\u2190\u00e9 ;host_names Red\u2020\u2190\u00e9 red.example.org;");
  for (const char* kind : {"connect", "disconnect", "change", "reconnect", "block", "admin_kick",
                           "admin_ban", "server_change", "poll_done"})
    EXPECT_GT(kinds[kind], 0) << kind;
}

// A path that cannot be written is told once; the monitor goes on, and is told when it can.
TEST(Events, AnUnwritableEventFileIsToldOnceAndTheMonitorGoesOn) {
  const drav_test::TempDir dir;
  const std::string path = dir.file("events.json");
  std::filesystem::create_directory(path);
  r_dravlog_init_first();
  r_dravlog_init(dir.file("drav.log").c_str());
  const int before = r_dravpane_line_count();
  testing::internal::CaptureStderr();
  r_draveventfile_init(path.c_str());
  for (int event = 0; event < 3; ++event)
    r_dravevent_tell(r_dravevent_make(EVENT_POLL_DONE));
  std::filesystem::remove(path);
  ts_event change = r_dravevent_make(EVENT_SERVER_CHANGE);
  r_dravevent_set_name(change, "dm_\x01next");
  r_dravevent_tell(change);
  r_draveventfile_finish();
  const std::string told = drav_test::without_stamp(testing::internal::GetCapturedStderr());
  r_dravlog_init_first();
  const std::string failed = "Events File " + path +
                             " could not be opened for appending (Is a directory): the monitor "
                             "goes on; events are missing from it\n",
                    again =
                        "Events File " + path + " written again: 3 events are missing from it\n";
  EXPECT_EQ(told, failed + again);
  EXPECT_EQ(r_dravpane_line_count() - before, 3);
  EXPECT_EQ(drav_test::without_stamp(drav_test::read_file(dir.file("drav.log"))),
            failed + "Server Change     dm_next\n" + again);
  const nlohmann::json event = nlohmann::json::parse(drav_test::read_file(path));
  EXPECT_EQ(event.dump(),
            R"({"kind":"server_change","name":"dm_next","name_hex":"646d5f016e657874","time":")" +
                event["time"].get<std::string>() + "\"}");
}

}  // namespace
