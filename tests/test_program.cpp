// The built program, run from outside in a folder of its own: options, start-up errors,
// signals and a headless run against the simulated game server.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "config_support.h"
#include "process.h"
#include "sim_server.h"
#include "support.h"

using drav_test::ChildProcess;
using drav_test::config_text;
using drav_test::fatal_stderr_pattern;
using drav_test::read_file;

namespace {

constexpr int TIMEOUT_MS = 10000;

bool matches(const std::string& text, const std::string& pattern) {
  return std::regex_match(text, std::regex(pattern, std::regex::extended));
}

// A folder with `config` as "drav-logger.cfg" (none for "<none>") and an empty history.
void prepare(const drav_test::TempDir& dir, const std::string& config) {
  if (config != "<none>")
    drav_test::write_file(dir.file("drav-logger.cfg"), config);
  drav_test::write_file(dir.file("drav-logger-ip.txt"), "");
}

TEST(ProgramTest, OptionsStartUpErrorsAndSignalsEndWithTheirStatusAndTexts) {
  const std::string usage =
      drav_test::regex_escape("usage: drav-logger [--headless | --help | --version]\n");
  const std::string long_line =
      "log_file=" + std::string(2038, 'a') + "xyz" + std::string(50, 'b') + "\n";
  drav_sim::SimServer server("secret");
  const std::string headless = config_text({{"net_server_port", std::to_string(server.port())}});
  // A signal may cut the first poll short.
  const std::string polled =
      "(" + std::string(drav_test::STAMP_PATTERN) + " Server Change     canyon_ridge\n)?";
  const std::string not_found = "./src/drav_config - Config file not found";
  constexpr int KEY = -1;
  struct Case {
    std::vector<std::string> arguments;
    std::string config;
    int status;
    std::string stdout_pattern, stderr_pattern;
    int end_by = 0;  // a signal, or KEY for the operator's key that a fatal error waits for
  };
  const auto fatal = [](const std::string& config, const std::string& message, int end_by) {
    return Case{{}, config, 1, "", fatal_stderr_pattern(message + "\n"), end_by};
  };
  const Case cases[] = {
      {{"--help"}, "<none>", 0, usage + "(.|\n)+", ""},
      {{"--version"}, "<none>", 0, "drav-logger [0-9]+\\.[0-9]+\\.[0-9]+\n", ""},
      {{"--verbose"}, "<none>", 2, "", usage},
      {{"--help", "--version"}, "<none>", 2, "", usage},
      {{""}, "<none>", 2, "", usage},
      {{"--headless"}, headless, 0, polled, "", SIGINT},
      {{"--headless"}, headless, 0, polled, "", SIGTERM},
      {{"--headless"}, headless, 0, polled, "", SIGHUP},
      {{"--headless"}, headless, 0, polled, "", SIGQUIT},
      // With no operator to press a key, the headless run's fatal error ends it at once.
      {{"--headless"}, "<none>", 1, "", fatal_stderr_pattern(not_found + "\n")},
      {{}, headless, 1, "Error: standard input and output must be a terminal\n", ""},
      fatal("<none>", not_found, KEY),
      fatal(config_text({{"log_file", "<omit>"}}),
            "./src/drav_config - Not all variables found (0): log_file=", 0),
      fatal(config_text({{"say_init", "<omit>"}, {"ping_kick", "<omit>"}}),
            "./src/drav_config - Not all variables found (13): say_init=", KEY),
      fatal(config_text({{"ping_kick", "<omit>"}}),
            "./src/drav_config - Not all variables found (21): ping_kick=", 0),
      fatal(config_text({{"player_color", "<omit>"}}),
            "./src/drav_config - Not all variables found (23): player_color=", KEY),
      fatal(config_text() + " log_file=x\n",
            "./src/drav_config - Unknown config parameter:  log_file=x", 0),
      fatal(config_text() + "log_file =x\n",
            "./src/drav_config - Unknown config parameter: log_file =x", KEY),
      fatal(config_text() + "# comment\r\n",
            "./src/drav_config - Unknown config parameter: # comment", 0),
      // A long line is read in pieces of at most 2047 bytes; the second is no key.
      fatal(config_text() + long_line,
            "./src/drav_config - Unknown config parameter: xyz" + std::string(50, 'b'), KEY),
      fatal(config_text({{"log_file", "no-such-folder/x.log"}}),
            "./src/drav_log - File open error: no-such-folder/x.log", 0),
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const std::string what = std::to_string(i) + (c.arguments.empty() ? "" : c.arguments[0]);
    drav_test::TempDir dir;
    prepare(dir, c.config);
    std::vector<std::string> command{DRAV_LOGGER_BINARY};
    command.insert(command.end(), c.arguments.begin(), c.arguments.end());
    server.clear_commands();
    ChildProcess program(command, dir.path().string());
    if (c.end_by == KEY) {
      EXPECT_FALSE(program.wait(300)) << what;  // a fatal error waits for the operator's key
      program.close_stdin("x");
    } else if (c.end_by != 0) {
      // The signals are handled once the loop polls the server.
      EXPECT_TRUE(server.wait_for_commands(1, TIMEOUT_MS)) << what;
      program.signal(c.end_by);
    }
    program.close_stdin();
    ASSERT_TRUE(program.wait(TIMEOUT_MS)) << what;
    EXPECT_EQ(program.exit_status(), c.status) << what;
    EXPECT_TRUE(matches(program.stdout_text(), c.stdout_pattern))
        << what << ": " << program.stdout_text();
    EXPECT_TRUE(matches(program.stderr_text(), c.stderr_pattern))
        << what << ": " << program.stderr_text();
  }
}

TEST(ProgramTest, HeadlessRunLogsAndRecordsThePlayersAndEndsOnSigterm) {
  drav_sim::SimServer server("secret");
  for (int slot = 0; slot < 3; ++slot) {
    drav_sim::Player player;
    player.name = "Player0" + std::to_string(slot);
    player.ip = "127.0.0.1";  // keeps the reverse look-ups on this machine
    server.set_player(slot, player);
  }
  drav_test::TempDir dir;
  prepare(dir,
          config_text({{"net_server_port", std::to_string(server.port())}, {"say_init", "1"}}));
  ChildProcess program({DRAV_LOGGER_BINARY, "--headless"}, dir.path().string());
  const std::string log_path = dir.file("drav-logger.log");
  const std::string history_path = dir.file("drav-logger-ip.txt");
  const auto lines = [](const std::string& text) { return std::ranges::count(text, '\n'); };
  for (int wait = 0; wait < TIMEOUT_MS / 50 &&
                     (lines(read_file(log_path)) < 4 || lines(read_file(history_path)) < 3 ||
                      lines(program.stdout_text()) < 4);
       ++wait)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  program.signal(SIGTERM);
  ASSERT_TRUE(program.wait(TIMEOUT_MS));
  EXPECT_EQ(program.exit_status(), 0);
  EXPECT_EQ(program.stderr_text(), "");

  const std::string stamp = std::string(drav_test::STAMP_PATTERN) + " ";
  const std::string log = read_file(log_path);
  EXPECT_TRUE(matches(log, stamp + "Server Change     canyon_ridge\n" + stamp +
                               "Client Connect    00 127\\.0\\.0\\.1       Player00\n" + stamp +
                               "Client Connect    01 127\\.0\\.0\\.1       Player01\n" + stamp +
                               "Client Connect    02 127\\.0\\.0\\.1       Player02\n"))
      << log;
  // Without the screen every log line goes to standard output too.
  EXPECT_EQ(program.stdout_text(), log);
  EXPECT_TRUE(matches(read_file(history_path),
                      "([0-9]{8} 127\\.0\\.0\\.1       Player0[0-2]\\\\[^\n]*\n){3}"))
      << read_file(history_path);
  // The start is announced in game.
  EXPECT_TRUE(std::ranges::any_of(server.commands(), [](const drav_sim::ReceivedCommand& r) {
    return r.command.starts_with("say ");
  }));
}

}  // namespace
