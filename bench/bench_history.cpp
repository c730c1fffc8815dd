// Start-up, lookup and insertion costs of the access list and the IP history at the sizes
// operators reach after years: a million history lines, a hundred thousand networks.
//
// Without arguments it runs as a Google Benchmark program on smaller generated files.
// bench/history_bench.sh drives the plain modes:
//   bench_history generate DIR HISTORY_LINES ACCESS_LINES   writes DIR/history.txt, DIR/access.txt
//   bench_history measure DIR ADDS                          loads them, prints key=value figures
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_log.h"

namespace {

using Clock = std::chrono::steady_clock;

double milliseconds_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A figure of /proc/self/status in bytes: "VmRSS:" resident now, "VmHWM:" the peak.
long status_bytes(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::size_t length = std::strlen(key);
  while (std::getline(status, line)) {
    if (line.compare(0, length, key) == 0) {
      return std::strtol(line.c_str() + length, nullptr, 10) * 1024;
    }
  }
  return 0;
}

long resident_bytes() {
  return status_bytes("VmRSS:");
}

// Lets the peak (VmHWM) start again from the resident size of now.
void reset_peak_resident() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

// One find step from the middle of the list.
double find_ms(const char* text, std::int32_t step) {
  std::string error;
  const auto query = r_dravlistip_parse_query(text, error);
  const auto middle = static_cast<std::int32_t>(r_dravlistip_get_list().size() / 2);
  const auto start = Clock::now();
  benchmark::DoNotOptimize(r_dravlistip_find(*query, middle, step));
  return milliseconds_since(start);
}

// The slowest of the find steps that cost most: a text that no entry has (a whole wrap) in
// both directions, also of one and two characters, a rare host name, an absent address and a
// network.
double slowest_find_ms() {
  double slowest = 0;
  for (const char* text :
       {"qqzzx nothing", "~", "qz", "GW63.POP8", "198.51.100.77", "203.0.113.0/24"}) {
    for (const std::int32_t step : {1, -1}) {
      slowest = std::max(slowest, find_ms(text, step));
    }
  }
  return slowest;
}

// The aliases of the address with the most entries near the middle of the list.
double aliases_ms() {
  const auto list = r_dravlistip_get_list();
  if (list.empty()) {
    return 0;
  }
  const std::uint64_t ip = list[list.size() / 2].ip;
  const auto start = Clock::now();
  benchmark::DoNotOptimize(r_dravlistip_aliases(ip).ats_addresses.size());
  return milliseconds_since(start);
}

// Bytes of the names and host names of the entries, their ends included.
double text_bytes() {
  double bytes = 0;
  for (const ts_listip_data& entry : r_dravlistip_get_list()) {
    bytes += static_cast<double>(std::strlen(entry.name) + std::strlen(entry.hostnames) + 2);
  }
  return bytes;
}

// Player addresses come from the private and shared ranges, which no public network routes.
std::uint32_t random_address(std::mt19937_64& random) {
  const std::uint64_t r = random();
  switch (r % 20) {
    case 0:
    case 1:
    case 2:
      return 0xAC100000u | static_cast<std::uint32_t>((r >> 8) & 0x000FFFFF);  // 172.16/12
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
      return 0x64400000u | static_cast<std::uint32_t>((r >> 8) & 0x003FFFFF);  // 100.64/10
    default:
      return 0x0A000000u | static_cast<std::uint32_t>((r >> 8) & 0x00FFFFFF);  // 10/8
  }
}

std::string random_name(std::mt19937_64& random) {
  static const char* const syllables[] = {"ka",  "zor", "mi", "rex", "dra", "vo", "lin", "ta",
                                          "gor", "sha", "xi", "nu",  "bel", "qu", "ro",  "fen"};
  static const char* const tags[] = {"[DK]", "=NoX=", "{SoR}", "|HB|", "<LoL>", "-=GT=-"};
  std::string name;
  if (random() % 5 == 0) {
    name += tags[random() % std::size(tags)];
  }
  for (int i = 2 + static_cast<int>(random() % 3); i > 0; --i) {
    name += syllables[random() % std::size(syllables)];
  }
  if (random() % 3 == 0) {
    name[0] = static_cast<char>(name[0] - 'a' + 'A');
  }
  if (random() % 4 == 0) {
    name += std::to_string(random() % 1000);
  }
  if (random() % 10 == 0) {
    name = "\x02" + name;  // a colour code, as the game sends them
  }
  return name;
}

std::string random_hostnames(std::uint32_t address, std::mt19937_64& random) {
  if (random() % 3 == 0) {
    return "";
  }
  char text[160];
  const int isp = static_cast<int>(address >> 20) % 97;
  int length = std::snprintf(text, sizeof text, "dsl-%u-%u-%u-%u.dyn.isp%d.example", address >> 24,
                             (address >> 16) & 255, (address >> 8) & 255, address & 255, isp);
  if (random() % 6 == 0) {
    std::snprintf(text + length, sizeof text - length, ";gw%d.pop%d.isp%d.example",
                  static_cast<int>(random() % 64), static_cast<int>(random() % 9), isp);
  }
  return text;
}

// A history grown over years: a pool of regulars who come back from a few addresses under
// a few names, and many one-time visitors; about one line in a hundred has no date.
void generate_history(const std::string& path, long lines, std::mt19937_64& random) {
  std::vector<std::uint32_t> addresses(static_cast<std::size_t>(lines / 3 + 1));
  for (auto& address : addresses) {
    address = random_address(random);
  }
  std::vector<std::string> names(static_cast<std::size_t>(lines / 4 + 1));
  for (auto& name : names) {
    name = random_name(random);
  }
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    std::perror(path.c_str());
    std::exit(2);
  }
  for (long i = 0; i < lines; ++i) {
    const std::uint32_t address = addresses[random() % addresses.size()];
    const std::string& name = names[random() % names.size()];
    const int days = static_cast<int>(i * 7000 / lines);  // about 19 years, oldest first
    int date = (2005 + days / 365) * 10000 + (1 + days % 365 / 31) * 100 + 1 + days % 28;
    if (random() % 100 == 0) {
      date = 0;
    }
    std::fprintf(file, "%08d %-15s %s\\%s\n", date, r_dravip_ip_to_text(address).c_str(),
                 name.c_str(), random_hostnames(address, random).c_str());
  }
  std::fclose(file);
}

// Mostly single addresses (bans), then /24 and /16 networks and a few /8 ones.
void generate_access(const std::string& path, long lines, std::mt19937_64& random) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    std::perror(path.c_str());
    std::exit(2);
  }
  std::fprintf(file, "; access list of the server\n\n");
  for (long i = 0; i < lines; ++i) {
    const std::uint64_t kind = random() % 100;
    const int prefix = kind < 55 ? 32 : kind < 85 ? 24 : kind < 99 ? 16 : 8;
    const std::uint32_t address = random_address(random);
    char network[32];
    std::snprintf(network, sizeof network, "%s/%d", r_dravip_ip_to_text(address).c_str(), prefix);
    const int level = prefix == 32 ? 0 : static_cast<int>(random() % 10);
    if (random() % 2 == 0) {
      std::fprintf(file, "%d %-18s %s\n", level, network, random_name(random).c_str());
    } else {
      std::fprintf(file, "%d %s\n", level, network);
    }
  }
  std::fclose(file);
}

struct Paths {
  std::string history;
  std::string access;
  std::string access_add;
};

Paths paths_in(const std::string& dir) {
  return {dir + "/history.txt", dir + "/access.txt", dir + "/access-add.txt"};
}

void generate(const std::string& dir, long history_lines, long access_lines) {
  std::mt19937_64 random(20240229);
  const Paths paths = paths_in(dir);
  generate_history(paths.history, history_lines, random);
  generate_access(paths.access, access_lines, random);
  std::remove(paths.access_add.c_str());
}

ts_config config_for(const Paths& paths) {
  ts_config config;
  std::snprintf(config.log_file_ip, TEXT_FIELD_SIZE, "%s", paths.history.c_str());
  std::snprintf(config.access_list_file, TEXT_FIELD_SIZE, "%s", paths.access.c_str());
  std::snprintf(config.access_list_file_add, TEXT_FIELD_SIZE, "%s", paths.access_add.c_str());
  return config;
}

int measure(const std::string& dir, int adds) {
  r_dravlog_init_first();
  static ts_config config = config_for(paths_in(dir));
  r_dravlog_init(config.log_file);  // no log file: log lines are dropped

  const long rss_start = resident_bytes();
  const auto start = Clock::now();
  r_dravaccess_init(config);
  const double access_ms = milliseconds_since(start);
  const long rss_access = resident_bytes();
  reset_peak_resident();
  const auto history_start = Clock::now();
  const std::clock_t history_cpu = std::clock();
  r_dravlistip_init(config);
  const double history_ms = milliseconds_since(history_start);
  const double history_cpu_ms =
      static_cast<double>(std::clock() - history_cpu) * 1000.0 / CLOCKS_PER_SEC;
  const double startup_ms = milliseconds_since(start);
  const long rss_history = resident_bytes();
  const long peak_history = status_bytes("VmHWM:");
  const std::size_t entries = r_dravlistip_get_list().size();
  const auto file_size = static_cast<double>(std::filesystem::file_size(config.log_file_ip));
  const double texts = text_bytes();
  const double nothing_ms = find_ms("qqzzx nothing", 1);
  const double slowest_ms = slowest_find_ms();
  const double alias_ms = aliases_ms();

  std::mt19937_64 random(7);
  std::vector<double> add_ms;
  for (int i = 0; i < adds; ++i) {
    const std::uint32_t address = random_address(random);
    const std::string name = random_name(random) + "#" + std::to_string(i);
    const std::string hosts = random_hostnames(address, random);
    const auto add_start = Clock::now();
    r_dravlistip_add_ip_name(address, name.c_str(), hosts.c_str());
    add_ms.push_back(milliseconds_since(add_start));
  }
  std::sort(add_ms.begin(), add_ms.end());

  std::printf("entries=%zu\n", entries);
  std::printf("access_ms=%.1f\n", access_ms);
  std::printf("history_ms=%.1f\n", history_ms);
  std::printf("history_cpu_ms=%.1f\n", history_cpu_ms);
  std::printf("startup_ms=%.1f\n", startup_ms);
  std::printf("access_rss_mb=%.1f\n", static_cast<double>(rss_access - rss_start) / 1048576.0);
  const double grown = static_cast<double>(rss_history - rss_access);
  std::printf("bytes_per_entry=%.1f\n", entries == 0 ? 0.0 : grown / entries);
  std::printf("bytes_beyond_text=%.1f\n", entries == 0 ? 0.0 : (grown - texts) / entries);
  // The peak while the history loaded, over what was resident before it, and that of the
  // whole program so far.
  std::printf("peak_over_file=%.2f\n", static_cast<double>(peak_history - rss_access) / file_size);
  std::printf("process_peak_over_file=%.2f\n", static_cast<double>(peak_history) / file_size);
  std::printf("find_nothing_ms=%.2f\n", nothing_ms);
  std::printf("find_max_ms=%.2f\n", slowest_ms);
  std::printf("aliases_ms=%.2f\n", alias_ms);
  if (!add_ms.empty()) {
    std::printf("add_median_ms=%.3f\n", add_ms[add_ms.size() / 2]);
    std::printf("add_max_ms=%.3f\n", add_ms.back());
  }
  r_dravlistip_finish();
  r_dravaccess_finish();
  return 0;
}

// Generated files for the Google Benchmark cases, made once per process.
class BenchData {
 public:
  BenchData() {
    std::string pattern = (std::filesystem::temp_directory_path() / "drav-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::exit(2);
    }
    dir_ = pattern;
    generate(dir_, 100000, 20000);
    config_ = config_for(paths_in(dir_));
    r_dravlog_init_first();
    r_dravlog_init(config_.log_file);
  }
  ~BenchData() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  const ts_config& config() const { return config_; }

 private:
  std::string dir_;
  ts_config config_;
};

const ts_config& bench_config() {
  static BenchData data;
  return data.config();
}

void BM_AccessLookup(benchmark::State& state) {
  r_dravaccess_init(bench_config());
  std::mt19937_64 random(3);
  std::vector<std::uint32_t> addresses(4096);
  for (auto& address : addresses) {
    address = random_address(random);
  }
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(r_dravaccess_get_access_level(addresses[i++ & 4095], nullptr));
  }
  r_dravaccess_finish();
}
BENCHMARK(BM_AccessLookup);

void BM_StartUp(benchmark::State& state) {
  for (auto _ : state) {
    r_dravaccess_init(bench_config());
    r_dravlistip_init(bench_config());
  }
  state.counters["entries"] = static_cast<double>(r_dravlistip_get_list().size());
  r_dravlistip_finish();
  r_dravaccess_finish();
}
BENCHMARK(BM_StartUp)->Unit(benchmark::kMillisecond);

void BM_HistoryAdd(benchmark::State& state) {
  r_dravaccess_init(bench_config());
  r_dravlistip_init(bench_config());
  std::mt19937_64 random(11);
  long i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::uint32_t address = random_address(random);
    const std::string name = "bench#" + std::to_string(i++);
    state.ResumeTiming();
    r_dravlistip_add_ip_name(address, name.c_str(), nullptr);
  }
  r_dravlistip_finish();
  r_dravaccess_finish();
}
BENCHMARK(BM_HistoryAdd)->Unit(benchmark::kMicrosecond)->Iterations(200);

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::strcmp(argv[1], "generate") == 0) {
    generate(argv[2], std::atol(argv[3]), std::atol(argv[4]));
    return 0;
  }
  if (argc >= 4 && std::strcmp(argv[1], "measure") == 0) {
    return measure(argv[2], std::atoi(argv[3]));
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
