// The built program, run from outside in a folder of its own: options, start-up errors,
// signals and a headless run against the simulated game server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "sim_server.h"
#include "support.h"

using drav_test::config_text;
using drav_test::fatal_stderr_pattern;
using drav_test::read_file;

namespace {

constexpr int TIMEOUT_MS = 10000;

// Starts the program (`arguments`, its path first) in `folder` with standard input the
// pipe's reading end and standard output and standard error files of the folder.
pid_t start(const std::vector<std::string>& arguments, const std::string& folder,
            const int (&input)[2]) {
  const pid_t pid = fork();
  if (pid == 0) {
    // A test killed by its time-out must not leave the program running behind it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(input[0], STDIN_FILENO);
    close(input[1]);
    dup2(open((folder + "/.child-stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open((folder + "/.child-stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    if (chdir(folder.c_str()) == 0)
      execv(argv[0], argv.data());
    _exit(127);
  }
  close(input[0]);
  return pid;
}

// The exit status of `pid` (-1 after a killing signal), or none when it has not ended within
// `timeout_ms`.
std::optional<int> wait_for_end(pid_t pid, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() >= deadline)
      return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool matches(const std::string& text, const std::string& pattern) {
  return std::regex_match(text, std::regex(pattern, std::regex::extended));
}

TEST(ProgramTest, OptionsStartUpErrorsAndSignalsEndWithTheirStatusAndTexts) {
  const std::string usage =
      drav_test::regex_escape("usage: drav-logger [--headless | --help | --version]\n");
  const std::string long_line =
      "log_file=" + std::string(2038, 'a') + "xyz" + std::string(50, 'b') + "\n";
  drav_sim::SimServer server("secret");
  const std::string headless =
      config_text({{"net_server_port", std::to_string(server.port())}, {"say_init", "1"}});
  // A signal may cut the first poll short.
  const std::string polled =
      "(" + std::string(drav_test::STAMP_PATTERN) + " Server Change     canyon_ridge\n)?";
  const std::string not_found = fatal_stderr_pattern("./src/drav_config - Config file not found\n");
  const std::string open_error =
      fatal_stderr_pattern("./src/drav_log - File open error: no-such-folder/x.log\n");
  constexpr int KEY = -1;
  struct Case {
    std::vector<std::string> arguments;
    std::string config;  // "drav-logger.cfg", none for "<none>"; the history is empty
    int status;
    std::string stdout_pattern, stderr_pattern;
    int end_by = 0;  // a signal, or KEY for the operator's key that a fatal error waits for
  };
  // A bad configuration ends the run with status 1 after a key or the end of the input.
  const auto bad = [](const std::string& config, const std::string& message, int end_by) {
    const std::string text = "./src/drav_config - " + message + "\n";
    return Case{{}, config, 1, "", fatal_stderr_pattern(text), end_by};
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
      {{"--headless"}, "<none>", 1, "", not_found},
      {{}, headless, 1, "Error: standard input and output must be a terminal\n", ""},
      {{}, "<none>", 1, "", not_found, KEY},
      bad(config_text({{"log_file", "<omit>"}}), "Not all variables found (0): log_file=", 0),
      bad(config_text({{"say_init", "<omit>"}, {"ping_kick", "<omit>"}}),
          "Not all variables found (13): say_init=", KEY),
      bad(config_text({{"player_color", "<omit>"}}),
          "Not all variables found (23): player_color=", KEY),
      bad(config_text() + " log_file=x\n", "Unknown config parameter:  log_file=x", 0),
      bad(config_text() + "log_file =x\n", "Unknown config parameter: log_file =x", KEY),
      bad(config_text() + "# comment\r\n", "Unknown config parameter: # comment", 0),
      // A long line is read in pieces of at most 2047 bytes; the second is no key.
      bad(config_text() + long_line, "Unknown config parameter: xyz" + std::string(50, 'b'), KEY),
      {{}, config_text({{"log_file", "no-such-folder/x.log"}}), 1, "", open_error},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const std::string what = std::to_string(i) + (c.arguments.empty() ? "" : c.arguments[0]);
    drav_test::TempDir dir;
    if (c.config != "<none>")
      drav_test::write_file(dir.file("drav-logger.cfg"), c.config);
    drav_test::write_file(dir.file("drav-logger-ip.txt"), "");
    std::vector<std::string> command{DRAV_LOGGER_BINARY};
    command.insert(command.end(), c.arguments.begin(), c.arguments.end());
    server.clear_commands();
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    const pid_t pid = start(command, dir.path().string(), input);
    ASSERT_GT(pid, 0);
    if (c.end_by == KEY) {
      // A fatal error waits for the operator's key.
      ASSERT_EQ(wait_for_end(pid, 300), std::nullopt) << what;
      EXPECT_EQ(write(input[1], "x", 1), 1);
    } else if (c.end_by != 0) {
      // The signals are handled once the loop polls the server.
      EXPECT_TRUE(server.wait_for_commands(1, TIMEOUT_MS)) << what;
      kill(pid, c.end_by);
    }
    close(input[1]);
    const std::optional<int> status = wait_for_end(pid, TIMEOUT_MS);
    if (!status)
      kill(pid, SIGKILL);
    EXPECT_EQ(status, c.status) << what;
    const std::string out = read_file(dir.file(".child-stdout"));
    const std::string err = read_file(dir.file(".child-stderr"));
    EXPECT_TRUE(matches(out, c.stdout_pattern)) << what << ": " << out;
    EXPECT_TRUE(matches(err, c.stderr_pattern)) << what << ": " << err;
    if (c.end_by > 0) {
      // Without the screen every log line goes to standard output too; the start is
      // announced in game before the first poll.
      EXPECT_EQ(out, read_file(dir.file("drav-logger.log"))) << what;
      ASSERT_FALSE(server.commands().empty());
      EXPECT_EQ(server.commands()[0].command,
                "say \"-\r\x02*** Logger init (Version: Feb 18 2012) \x02***\"");
    }
  }
}

}  // namespace
