// The built program, run from outside in a folder of its own.
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
#include "support.h"

using drav_test::ChildProcess;
using drav_test::config_text;

namespace {

constexpr int PROGRAM_TIMEOUT_MS = 10000;

std::string stderr_for(const std::string& message) {
  return drav_test::fatal_stderr_pattern(message);
}

// The program's command line: no option runs it with its screen, "--headless" without.
std::vector<std::string> logger_command(const std::string& option) {
  std::vector<std::string> command{DRAV_LOGGER_BINARY};
  if (!option.empty()) {
    command.push_back(option);
  }
  return command;
}

bool matches(const std::string& text, const std::string& pattern) {
  return std::regex_match(text, std::regex(pattern, std::regex::extended));
}

TEST(ProgramArgumentsTest, OptionsAnswerAndEndWithoutStartingTheMonitor) {
  const std::string usage = "usage: drav-logger [--headless | --help | --version]\n";
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string stdout_pattern;
    std::string stderr_pattern;
  };
  // The folder holds no configuration: only the headless run gets as far as reading it, and
  // with no operator to press a key its fatal error ends the program at once.
  const Case cases[] = {
      {{"--help"}, 0, drav_test::regex_escape(usage) + "(.|\n)+", ""},
      {{"--version"}, 0, "drav-logger [0-9]+\\.[0-9]+\\.[0-9]+\n", ""},
      {{"--verbose"}, 2, "", drav_test::regex_escape(usage)},
      {{"--help", "--version"}, 2, "", drav_test::regex_escape(usage)},
      {{""}, 2, "", drav_test::regex_escape(usage)},
      {{"--headless"}, 1, "", stderr_for("./src/drav_config - Config file not found\n")},
  };
  for (const Case& c : cases) {
    drav_test::TempDir dir;
    std::vector<std::string> command{DRAV_LOGGER_BINARY};
    command.insert(command.end(), c.arguments.begin(), c.arguments.end());
    ChildProcess program(command, dir.path().string());
    ASSERT_TRUE(program.wait(PROGRAM_TIMEOUT_MS)) << c.arguments[0];
    EXPECT_EQ(program.exit_status(), c.status) << c.arguments[0];
    EXPECT_TRUE(matches(program.stdout_text(), c.stdout_pattern))
        << c.arguments[0] << ": " << program.stdout_text();
    EXPECT_TRUE(matches(program.stderr_text(), c.stderr_pattern))
        << c.arguments[0] << ": " << program.stderr_text();
  }
}

TEST(ProgramStartTest, BrokenConfigurationEndsWithTheMessageAfterOneByteOfInput) {
  struct Case {
    const char* what;
    std::string config;  // "<none>" for no file at all
    std::string message;
  };
  const Case cases[] = {
      {"missing", "<none>", "./src/drav_config - Config file not found\n"},
      {"incomplete", config_text({{"ping_kick", "<omit>"}}),
       "./src/drav_config - Not all variables found (21): ping_kick=\n"},
      {"broken", config_text() + "pollinterval=3\n",
       "./src/drav_config - Unknown config parameter: pollinterval=3\n"},
      {"empty", "", "./src/drav_config - Not all variables found (0): log_file=\n"},
  };
  for (const Case& c : cases) {
    for (bool end_of_input : {false, true}) {
      drav_test::TempDir dir;
      if (c.config != "<none>") {
        drav_test::write_file(dir.file("drav-logger.cfg"), c.config);
      }
      ChildProcess program({DRAV_LOGGER_BINARY}, dir.path().string());
      if (end_of_input) {
        program.close_stdin();
      } else {
        // The program waits for the operator's key before it ends.
        EXPECT_FALSE(program.wait(300)) << c.what;
        program.write_stdin("x");
      }
      ASSERT_TRUE(program.wait(PROGRAM_TIMEOUT_MS)) << c.what;
      EXPECT_EQ(program.exit_status(), 1) << c.what;
      EXPECT_TRUE(std::regex_match(program.stderr_text(),
                                   std::regex(stderr_for(c.message), std::regex::extended)))
          << c.what << ": " << program.stderr_text();
      EXPECT_EQ(program.stdout_text(), "") << c.what;
    }
  }
}

TEST(ProgramStartTest, UnopenableLogFileIsFatal) {
  drav_test::TempDir dir;
  drav_test::write_file(dir.file("drav-logger.cfg"),
                        config_text({{"log_file", "no-such-folder/x.log"}}));
  ChildProcess program({DRAV_LOGGER_BINARY}, dir.path().string());
  program.close_stdin();
  ASSERT_TRUE(program.wait(PROGRAM_TIMEOUT_MS));
  EXPECT_EQ(program.exit_status(), 1);
  EXPECT_TRUE(std::regex_match(
      program.stderr_text(),
      std::regex(stderr_for("./src/drav_log - File open error: no-such-folder/x.log\n"),
                 std::regex::extended)))
      << program.stderr_text();
}

TEST(ProgramSignalTest, TerminationSignalsEndTheProgramWithStatusZero) {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    drav_test::TempDir dir;
    // No server listens on the port: every poll just runs out of time.
    drav_test::write_file(
        dir.file("drav-logger.cfg"),
        config_text({{"net_server_port", "9"}, {"net_response_timeout_1", "50"}}));
    drav_test::write_file(dir.file("drav-logger-ip.txt"), "");
    ChildProcess program(logger_command("--headless"), dir.path().string());
    EXPECT_FALSE(program.wait(500)) << program.stderr_text();
    program.signal(signal_number);
    ASSERT_TRUE(program.wait(PROGRAM_TIMEOUT_MS)) << signal_number;
    EXPECT_EQ(program.exit_status(), 0) << signal_number;
    EXPECT_EQ(program.stderr_text(), "") << signal_number;
  }
}

TEST(ProgramStartTest, ScreenWithoutATerminalIsRefused) {
  drav_test::TempDir dir;
  drav_test::write_file(dir.file("drav-logger.cfg"), config_text({{"net_server_port", "9"}}));
  drav_test::write_file(dir.file("drav-logger-ip.txt"), "");
  ChildProcess program(logger_command(""), dir.path().string(), true);
  ASSERT_TRUE(program.wait(PROGRAM_TIMEOUT_MS));
  EXPECT_EQ(program.exit_status(), 1);
  EXPECT_EQ(program.stdout_text(), "Error: standard input and output must be a terminal\n");
}

// Polls `done` every 50 ms for at most `timeout_ms`; returns whether it came true.
template <typename Condition>
bool eventually(Condition done, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

int count_lines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

TEST(ProgramRunTest, LogsAndRecordsThePlayersOfASimulatedServerAndEndsOnSigterm) {
  drav_test::TempDir server_dir;
  // Every player at 127.0.0.1 keeps the reverse look-ups on this machine.
  ChildProcess server({SIM_SERVER_BINARY, "--port", "0", "--password", "secret", "--players", "3",
                       "--player-address", "127.0.0.1"},
                      server_dir.path().string());
  std::string server_port;
  const std::regex listening("listening on 127\\.0\\.0\\.1:([0-9]+)");
  ASSERT_TRUE(eventually(
      [&] {
        const std::string text = server.stdout_text();
        std::smatch port;
        if (!std::regex_search(text, port, listening)) {
          return false;
        }
        server_port = port[1];
        return true;
      },
      PROGRAM_TIMEOUT_MS));

  {
    const std::string option = "--headless";  // the screen's own runs are terminal tests
    drav_test::TempDir dir;
    drav_test::write_file(dir.file("drav-logger.cfg"),
                          config_text({{"net_server_port", server_port}, {"say_init", "1"}}));
    drav_test::write_file(dir.file("drav-logger-ip.txt"), "");
    // Standard output is a plain pipe, not a terminal.
    ChildProcess program(logger_command(option), dir.path().string(), true);

    const std::string log_path = dir.file("drav-logger.log");
    const std::string history_path = dir.file("drav-logger-ip.txt");
    const int stdout_lines = 4;
    ASSERT_TRUE(eventually(
        [&] {
          return count_lines(drav_test::read_file(log_path)) >= 4 &&
                 count_lines(drav_test::read_file(history_path)) >= 3 &&
                 count_lines(program.stdout_text()) >= stdout_lines;
        },
        PROGRAM_TIMEOUT_MS))
        << option << drav_test::read_file(log_path) << program.stderr_text();
    program.signal(SIGTERM);
    ASSERT_TRUE(program.wait(PROGRAM_TIMEOUT_MS)) << option;
    EXPECT_EQ(program.exit_status(), 0) << option;
    EXPECT_EQ(program.stderr_text(), "") << option;

    const std::string stamp = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ";
    const std::string log = drav_test::read_file(log_path);
    EXPECT_TRUE(matches(log, stamp + "Server Change     canyon_ridge\n" + stamp +
                                 "Client Connect    00 127\\.0\\.0\\.1       Player00\n" + stamp +
                                 "Client Connect    01 127\\.0\\.0\\.1       Player01\n" + stamp +
                                 "Client Connect    02 127\\.0\\.0\\.1       Player02\n"))
        << option << log;
    // Without the screen every log line goes to standard output too.
    EXPECT_EQ(program.stdout_text(), log) << option;
    EXPECT_TRUE(matches(drav_test::read_file(history_path),
                        "([0-9]{8} 127\\.0\\.0\\.1       Player0[0-2]\\\\[^\n]*\n){3}"))
        << option << drav_test::read_file(history_path);
  }
}

}  // namespace
