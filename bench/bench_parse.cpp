// Cost of parsing the three replies of a poll: a full 32-player status table (in the layout
// with the game type and in the bracketed one), a serverinfo reply with every key and a
// dumpuser reply with every key. The replies are the ones the simulated server sends, joined
// as the transport joins them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <string>

#include "drav_statsparse.h"
#include "sim_server.h"

namespace {

// Bytes of a "print" datagram's header: four 0xFF bytes, "print" and a line feed.
constexpr std::size_t PRINT_HEADER_SIZE = 10;

// The simulator with 32 players whose names run from 1 to 31 bytes, a colour code every
// few characters, and player 0 carrying every dumpuser key.
drav_sim::SimServer& full_server() {
  static drav_sim::SimServer server("bench");
  static const bool filled = [] {
    for (int num = 0; num < 32; ++num) {
      drav_sim::Player player;
      for (int i = 0; i <= num % 31; ++i) {
        player.name += i % 5 == 0 ? '\x02' : static_cast<char>('a' + i % 26);
      }
      player.ip = "198.51.100." + std::to_string(num + 1);
      player.port = 27900 + num;
      player.qport = 1000 + num;
      player.score = num * 3;
      player.ping = 20 + num;
      player.lastmsg = num * 50;
      if (num == 0) {
        player.userinfo = {{"predicting", "1"},
                           {"spectator", "0"},
                           {"cl_violence", "1"},
                           {"team_red_blue", "1"},
                           {"allow_download_models", "1"},
                           {"teamname", "red"},
                           {"skin", "soldier/green"},
                           {"rate", "25000"},
                           {"msg", "1"},
                           {"bestweap", "railgun"},
                           {"fov", "90"},
                           {"password", "x"},
                           {"spectator_password", "y"}};
      }
      server.set_player(num, player);
    }
    return true;
  }();
  (void)filled;
  return server;
}

// The reply text of `command` as the transport hands it to a parser.
std::string reply_text(const std::string& command) {
  std::string text;
  for (const std::string& datagram : full_server().execute(command)) {
    text += datagram.substr(std::min(PRINT_HEADER_SIZE, datagram.size()));
  }
  return text;
}

// Times `parse` on the reply of `command`, after checking that it yields `expected` items
// (players present or keys found), so that a broken reply cannot make a fast benchmark.
template <typename Record, typename Parse, typename Count>
void time_parser(benchmark::State& state, const std::string& command, Parse parse, Count count,
                 long expected) {
  const std::string text = reply_text(command);
  auto record = std::make_unique<Record>();
  parse(text.data(), text.size(), *record);
  if (count(*record) != expected) {
    state.SkipWithError(("the reply to \"" + command + "\" is not complete").c_str());
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(parse(text.data(), text.size(), *record));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

template <typename Flags>
long ones(const Flags& flags) {
  return std::count(flags.begin(), flags.end(), 1);
}

void BM_ParseStatus32Players(benchmark::State& state) {
  time_parser<ts_status_reply>(
      state, "status", r_dravstatsparse_parse_status,
      [](const ts_status_reply& reply) { return ones(reply.ab_present); }, 32);
}
BENCHMARK(BM_ParseStatus32Players);

// The same players in the bracketed layout, whose lines are read by their fields.
void BM_ParseStatus32PlayersBracketed(benchmark::State& state) {
  full_server().set_layout(drav_sim::Layout::BRACKETED);
  time_parser<ts_status_reply>(
      state, "status", r_dravstatsparse_parse_status,
      [](const ts_status_reply& reply) { return ones(reply.ab_present); }, 32);
  full_server().set_layout(drav_sim::Layout::TITLED);
}
BENCHMARK(BM_ParseStatus32PlayersBracketed);

void BM_ParseServerinfo(benchmark::State& state) {
  time_parser<ts_serverinfo>(
      state, "serverinfo", r_dravstatsparse_parse_serverinfo,
      [](const ts_serverinfo& info) { return ones(info.ab_found); }, 23);
}
BENCHMARK(BM_ParseServerinfo);

void BM_ParseDumpuser(benchmark::State& state) {
  time_parser<ts_dumpuser>(
      state, "dumpuser 0", r_dravstatsparse_parse_dumpuser,
      [](const ts_dumpuser& info) { return ones(info.ab_found); }, 15);
}
BENCHMARK(BM_ParseDumpuser);

}  // namespace
