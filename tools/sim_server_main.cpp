// sim-server: the simulated game server as a program, for trying the monitor by hand and for
// tests that run it as a separate process. Listens on 127.0.0.1 only.
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "sim_demo.h"
#include "sim_server.h"

namespace {

constexpr int USAGE_STATUS = 2;

constexpr char USAGE[] =
    "Usage: sim-server --port PORT --password PASSWORD [--players N] [--scenario demo]\n"
    "                  [--layout titled|plain|bracketed] [--max-clients N]\n"
    "                  [--zombie-seconds S] [--player-address ADDRESS]\n"
    "                  [--stream-port PORT [--stream-rate N]] [--report-commands yes]\n"
    "                  [--lose P] [--cut P] [--double P] [--reorder P] [--split anywhere]\n"
    "                  [--link-seed N] [--faults-only COMMAND]\n"
    "\n"
    "Answers the remote console on 127.0.0.1:PORT like a game server until SIGINT or SIGTERM.\n"
    "\n"
    "  --port PORT          UDP port to listen on (0 picks a free one)\n"
    "  --password PASSWORD  remote console password\n"
    "  --players N          fill slots 0..N-1 with generated players (0 to 256)\n"
    "  --layout L           reply layout of a server build: titled (the default; \"Map\",\n"
    "                       \"Gametype\" and an empty line), plain (a lower-case \"map\" line\n"
    "                       only, details with \"ip\" last) or bracketed (as plain, client\n"
    "                       numbers in 2 columns, addresses in brackets)\n"
    "  --max-clients N      slots of the server, 1 to 256 (default 32)\n"
    "  --scenario demo      players join, leave, rename and come back over time\n"
    "  --zombie-seconds S   how long a kicked player stays listed as a zombie (default 2)\n"
    "  --player-address A   give the generated players the address A (distinct ports), for\n"
    "                       runs whose reverse look-ups must stay on this machine\n"
    "  --stream-port PORT   send a forged status reply to 127.0.0.1:PORT from another port of\n"
    "                       this server, N times a second (--stream-rate, default 1000)\n"
    "  --report-commands yes  at the end, print every command received: the milliseconds\n"
    "                       since the start, a blank and the command\n"
    "\n"
    "A rough link, as over a real network (P is a percentage of the reply datagrams):\n"
    "  --lose P             lost\n"
    "  --cut P              cut short at a random byte, the header included\n"
    "  --double P           sent twice\n"
    "  --reorder P          held back until after the next datagram to the same client\n"
    "  --split anywhere     replies split at any byte, wherever the buffer happens to fill\n"
    "  --link-seed N        seed of these faults (default 1): the same seed, the same faults\n"
    "  --faults-only WORD   only the replies to commands with this first word are faulty\n"
    "\n"
    "  --help               show this text\n";

struct Options {
  int port = -1;
  std::optional<std::string> password;
  int players = 0;
  int max_clients = 32;
  drav_sim::Layout layout = drav_sim::Layout::TITLED;
  bool demo = false;
  double zombie_seconds = 2.0;
  std::optional<std::string> player_address;
  std::optional<int> stream_port;
  int stream_rate = 1000;
  bool report_commands = false;
  drav_sim::Faults faults;
};

std::optional<int> parse_int(std::string_view text, int low, int high) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

std::optional<double> parse_seconds(const std::string& text) {
  try {
    std::size_t used = 0;
    const double value = std::stod(text, &used);
    if (used != text.size() || !(value >= 0.0) || value > 3600.0) {
      return std::nullopt;
    }
    return value;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// The texts this program prints go to whoever started it, who has its exit status besides: a
// text the stream does not take leaves nothing else to do, so print results are not looked at.
[[noreturn]] void usage_error(const std::string& message) {
  (void)std::fprintf(stderr, "sim-server: %s\n%s", message.c_str(), USAGE);
  std::exit(USAGE_STATUS);
}

int int_value(std::string_view option, const std::string& value, int low, int high) {
  const auto number = parse_int(value, low, high);
  if (!number) {
    usage_error("bad value of " + std::string(option) + ": " + value);
  }
  return *number;
}

// The options of the rough link; false for any other option.
bool set_link_option(drav_sim::Faults& faults, std::string_view option, const std::string& value) {
  const std::pair<std::string_view, int drav_sim::Faults::*> percentages[] = {
      {"--lose", &drav_sim::Faults::lose_percent},
      {"--cut", &drav_sim::Faults::cut_percent},
      {"--double", &drav_sim::Faults::double_percent},
      {"--reorder", &drav_sim::Faults::reorder_percent}};
  for (const auto& [name, field] : percentages) {
    if (option == name) {
      faults.*field = int_value(option, value, 0, 100);
      return true;
    }
  }
  if (option == "--split") {
    if (value != "anywhere") {
      usage_error("bad value of --split: " + value);
    }
    faults.split_anywhere = true;
  } else if (option == "--link-seed") {
    faults.link_seed = static_cast<std::uint32_t>(int_value(option, value, 0, INT_MAX));
  } else if (option == "--faults-only") {
    faults.only_command = value;
  } else {
    return false;
  }
  return true;
}

// The options of the players and the stream; false for any other option.
bool set_server_option(Options& options, std::string_view option, const std::string& value) {
  if (option == "--players") {
    options.players = int_value(option, value, 0, drav_sim::SIM_MAX_CLIENTS);
  } else if (option == "--max-clients") {
    options.max_clients = int_value(option, value, 1, drav_sim::SIM_MAX_CLIENTS);
  } else if (option == "--layout") {
    const std::pair<std::string_view, drav_sim::Layout> layouts[] = {
        {"titled", drav_sim::Layout::TITLED},
        {"plain", drav_sim::Layout::PLAIN},
        {"bracketed", drav_sim::Layout::BRACKETED}};
    const auto* found = std::ranges::find(layouts, value, [](const auto& l) { return l.first; });
    if (found == std::end(layouts)) {
      usage_error("unknown layout: " + value);
    }
    options.layout = found->second;
  } else if (option == "--scenario") {
    if (value != "demo") {
      usage_error("unknown scenario: " + value);
    }
    options.demo = true;
  } else if (option == "--zombie-seconds") {
    const auto seconds = parse_seconds(value);
    if (!seconds) {
      usage_error("bad zombie time: " + value);
    }
    options.zombie_seconds = *seconds;
  } else if (option == "--player-address") {
    options.player_address = value;
  } else if (option == "--stream-port") {
    options.stream_port = int_value(option, value, 1, 65535);
  } else if (option == "--stream-rate") {
    options.stream_rate = int_value(option, value, 1, 1'000'000);
  } else if (option == "--report-commands") {
    if (value != "yes") {
      usage_error("bad value of --report-commands: " + value);
    }
    options.report_commands = true;
  } else {
    return false;
  }
  return true;
}

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--help" || option == "-h") {
      (void)std::fputs(USAGE, stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) {
      usage_error("unknown option or missing value: " + std::string(option));
    }
    const std::string value = argv[++i];
    if (option == "--port") {
      options.port = int_value(option, value, 0, 65535);
    } else if (option == "--password") {
      options.password = value;
    } else if (!set_server_option(options, option, value) &&
               !set_link_option(options.faults, option, value)) {
      usage_error("unknown option: " + std::string(option));
    }
  }
  if (options.port < 0) {
    usage_error("--port is required");
  }
  if (!options.password) {
    usage_error("--password is required");
  }
  return options;
}

// The players and the faults that the options ask for.
void set_up(drav_sim::SimServer& server, const Options& options) {
  server.set_zombie_seconds(options.zombie_seconds);
  server.set_layout(options.layout);
  server.set_max_clients(std::max(options.max_clients, options.players));
  server.set_faults(options.faults);
  server.fill_players(options.players);
  if (options.player_address) {
    for (int slot = 0; slot < options.players; ++slot) {
      drav_sim::Player player = server.player(slot).value();
      player.ip = *options.player_address;
      player.port = 27901 + slot;
      server.set_player(slot, player);
    }
  }
}

// Every command received: the milliseconds since `started`, a blank and the command.
void report_commands(const drav_sim::SimServer& server,
                     std::chrono::steady_clock::time_point started) {
  for (const drav_sim::ReceivedCommand& command : server.commands()) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(command.received_at - started);
    (void)std::printf("%lld %s\n", static_cast<long long>(ms.count()), command.command.c_str());
  }
  (void)std::printf("streamed %zu\n", server.streamed());
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse_options(argc, argv);

  // Block the stop signals before any thread starts, so that only sigwait below sees them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    drav_sim::SimServer server(*options.password, static_cast<std::uint16_t>(options.port));
    set_up(server, options);
    // Players join, leave, rename, connect slowly, turn zombie and come back over time, until
    // the scenario goes, before the server it changes.
    std::optional<drav_sim::DemoScenario> demo;
    if (options.demo) {
      demo.emplace(server);
    }
    const auto started = std::chrono::steady_clock::now();
    if (options.stream_port) {
      server.start_stream(static_cast<std::uint16_t>(*options.stream_port), options.stream_rate,
                          drav_sim::forged_status_datagram());
    }
    (void)std::printf("sim-server listening on 127.0.0.1:%u\n",
                      static_cast<unsigned>(server.port()));
    (void)std::fflush(stdout);
    int received = 0;
    sigwait(&stop_signals, &received);
    if (options.report_commands) {
      report_commands(server, started);
    }
  } catch (const std::exception& error) {
    (void)std::fprintf(stderr, "sim-server: %s\n", error.what());
    return 1;
  }
  return 0;
}
