// The built program, run from outside in a folder of its own.
#include <gtest/gtest.h>

#include <signal.h>

#include <regex>
#include <string>

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
      EXPECT_TRUE(std::regex_match(program.stderr_text(), std::regex(stderr_for(c.message),
                                                                     std::regex::extended)))
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
    drav_test::write_file(dir.file("drav-logger.cfg"),
                          config_text({{"net_server_port", "9"}, {"net_response_timeout_1", "50"}}));
    drav_test::write_file(dir.file("drav-logger-ip.txt"), "");
    ChildProcess program({DRAV_LOGGER_BINARY}, dir.path().string());
    EXPECT_FALSE(program.wait(500)) << program.stderr_text();
    program.signal(signal_number);
    ASSERT_TRUE(program.wait(PROGRAM_TIMEOUT_MS)) << signal_number;
    EXPECT_EQ(program.exit_status(), 0) << signal_number;
    EXPECT_EQ(program.stderr_text(), "") << signal_number;
  }
}

}  // namespace
