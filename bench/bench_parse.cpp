// Cost of parsing the three replies of a poll: a full 32-player status table, a
// serverinfo reply with every key and a dumpuser reply.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "drav_statsparse.h"

namespace {

std::string full_status_reply() {
  std::string text =
      "Map              : dm_canyon\n"
      "Gametype         : deathmatch\n"
      "\n"
      "num score ping name            lastmsg address               qport \n"
      "--- ----- ---- --------------- ------- --------------------- ------\n";
  for (int num = 0; num < 32; ++num) {
    // Names of 1 to 31 bytes, a colour code every few characters.
    std::string name;
    for (int i = 0; i <= num % 31; ++i) {
      name += i % 5 == 0 ? '\x02' : static_cast<char>('a' + i % 26);
    }
    char head[32];
    std::snprintf(head, sizeof head, "%3d %5d %4d ", num, num * 3, 20 + num);
    char address[32];
    std::snprintf(address, sizeof address, "198.51.100.%d:%d", num + 1, 27900 + num);
    char tail[64];
    std::snprintf(tail, sizeof tail, "%7d %-21s %5d\n", num * 50, address, 1000 + num);
    name.resize(std::max<std::size_t>(name.size(), 15), ' ');
    text += head + name + " " + tail;
  }
  return text;
}

std::string key_line(const std::string& key, const std::string& value) {
  std::string line = key;
  line.resize(std::max<std::size_t>(key.size(), 20), ' ');
  return line + value + "\n";
}

std::string full_serverinfo_reply() {
  std::string text = "\nServer info settings:\n";
  const char* const keys[][2] = {
      {"mapname", "dm_canyon"},
      {"pickupinfo", "1"},
      {"gamedate", "Nov 11 2023"},
      {"gamename", "arena"},
      {"maxspectators", "4"},
      {"weaponarena", "0"},
      {"deathmatch", "1"},
      {"protocol", "34"},
      {"cheats", "0"},
      {"skill", "1"},
      {"sv_violence", "0"},
      {"version", "1.4 linux-amd64"},
      {"fraglimit", "30"},
      {"timelimit", "20"},
      {"sv_suicidepenalty", "2"},
      {"g_movescale", "1"},
      {"ctf_loops", "0"},
      {"control_limit", "0"},
      {"control_bonus", "0"},
      {"hostname",
       "\x02The \x05"
       "Arena"},
      {"maxclients", "32"},
      {"dmflags", "16"},
      {"user", "operator"},
  };
  for (const auto& key : keys) {
    text += key_line(key[0], key[1]);
  }
  return text;
}

std::string full_dumpuser_reply() {
  return "userinfo\n--------\n" + key_line("predicting", "0") + key_line("spectator", "0") +
         key_line("cl_violence", "1") + key_line("team_red_blue", "0") +
         "allow_download_models1\n" + key_line("teamname", "red") +
         key_line("skin", "soldier/green") + key_line("rate", "25000") + key_line("msg", "1") +
         key_line("bestweap", "railgun") + key_line("fov", "90") +
         key_line("name",
                  "\x02Red \x05"
                  "Baron") +
         key_line("ip", "198.51.100.7:27910") + key_line("password", "") +
         key_line("spectator_password", "");
}

void BM_ParseStatus32Players(benchmark::State& state) {
  const std::string text = full_status_reply();
  auto reply = std::make_unique<ts_status_reply>();
  r_dravstatsparse_parse_status(text.data(), text.size(), *reply);
  if (std::count(reply->ab_present.begin(), reply->ab_present.end(), 1) != 32) {
    state.SkipWithError("the status reply does not list 32 players");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(r_dravstatsparse_parse_status(text.data(), text.size(), *reply));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseStatus32Players);

void BM_ParseServerinfo(benchmark::State& state) {
  const std::string text = full_serverinfo_reply();
  ts_serverinfo info;
  r_dravstatsparse_parse_serverinfo(text.data(), text.size(), info);
  if (std::count(info.ab_found.begin(), info.ab_found.end(), 1) != 23) {
    state.SkipWithError("the serverinfo reply does not give all 23 keys");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(r_dravstatsparse_parse_serverinfo(text.data(), text.size(), info));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseServerinfo);

void BM_ParseDumpuser(benchmark::State& state) {
  const std::string text = full_dumpuser_reply();
  ts_dumpuser info;
  r_dravstatsparse_parse_dumpuser(text.data(), text.size(), info);
  if (std::count(info.ab_found.begin(), info.ab_found.end(), 1) != 15) {
    state.SkipWithError("the dumpuser reply does not give all 15 keys");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(r_dravstatsparse_parse_dumpuser(text.data(), text.size(), info));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseDumpuser);

}  // namespace
