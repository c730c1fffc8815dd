// The built program, run from outside in a folder of its own: options, start-up errors,
// signals, a headless run against the simulated game server and the configuration check.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
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
  const std::string usage = drav_test::regex_escape(
      "usage: drav-logger [--headless | --check-config | --help | --version]\n");
  // getopt_long's own line on what was wrong with an option.
  const std::string told = "[^\n]+: [^\n]+ '--[a-z]+'[^\n]*\n" + usage;
  const std::string version = "drav-logger [0-9]+\\.[0-9]+\\.[0-9]+\n";
  const std::string no_terminal = "Error: standard input and output must be a terminal\n";
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
      {{"--hel"}, "<none>", 0, usage + "(.|\n)+", ""},
      {{"--version"}, "<none>", 0, version, ""},
      {{"--v", "--"}, "<none>", 0, version, ""},
      {{"--"}, headless, 1, no_terminal, ""},
      {{"--verbose"}, "<none>", 2, "", told},
      {{"--he"}, "<none>", 2, "", told},
      {{"--help=x"}, "<none>", 2, "", told},
      {{"--help", "--version"}, "<none>", 2, "", usage},
      {{"--headless", "--check-config"}, "<none>", 2, "", usage},
      {{"--", "--help"}, "<none>", 2, "", usage},
      {{""}, "<none>", 2, "", usage},
      {{"--headless"}, headless, 0, polled, "", SIGINT},
      {{"--headless"}, headless, 0, polled, "", SIGTERM},
      {{"--headless"}, headless, 0, polled, "", SIGHUP},
      {{"--headless"}, headless, 0, polled, "", SIGQUIT},
      // With no operator to press a key, the headless run's fatal error ends it at once.
      {{"--headless"}, "<none>", 1, "", not_found},
      {{}, headless, 1, no_terminal, ""},
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

// Every file of `folder` but the program's standard output and error, with its contents.
std::map<std::string, std::string> folder_files(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(".child-"))
      files[name] = read_file(entry.path().string());
  }
  return files;
}

// The check fails with the start's own message for every kind of broken file, at once, as
// a service manager runs it with no key to press.
TEST(ProgramTest, CheckConfigReadsWhatAStartReadsAndWritesNothing) {
  const std::string access = "0 192.0.2.66              cheater\n5 198.51.100.0/24\n";
  const std::string ban = "; 2026-12-06 18:30:00 - cheat\n0 192.0.2.7\n\n";
  const std::string history =
      "20120218 192.0.2.1       Red\\\n20120219 192.0.2.2       Blue\\b.example\n";
  const std::string with_access = config_text({{"access_list_file", "access.txt"}});
  struct Case {
    std::string config;           // "drav-logger.cfg", none for "<none>"
    std::string access, history;  // access.txt and drav-logger-ip.txt, none for "<none>"
    std::string message;          // the start's fatal message, empty when the check passes
  };
  const Case cases[] = {
      {with_access, access, history, ""},
      {"<none>", access, history, "./src/drav_config - Config file not found"},
      {with_access + "log_file =x\n", access, history,
       "./src/drav_config - Unknown config parameter: log_file =x"},
      {config_text({{"access_list_file", "access.txt"}, {"player_color", "<omit>"}}), access,
       history, "./src/drav_config - Not all variables found (23): player_color="},
      {config_text({{"log_file", "no-such-folder/x.log"}}), access, history,
       "./src/drav_log - File open error: no-such-folder/x.log"},
      {with_access, "<none>", history, "./src/drav_access - File access.txt could not be opened"},
      {with_access, "0x192.0.2.1\n", history,
       "./src/drav_access - Invalid line in access.txt (no space on second pos): 0x192.0.2.1"},
      {with_access, access, "<none>", "./src/drav_listip - File not found: drav-logger-ip.txt"},
      {with_access, access, "20120218 192.0.2.1\n",
       "./src/drav_listip - Line too short: 20120218 192.0.2.1"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    drav_test::TempDir dir;
    const std::pair<const char*, std::string> files[] = {{"drav-logger.cfg", c.config},
                                                         {"access.txt", c.access},
                                                         {"drav-logger-ip.txt", c.history},
                                                         {"access-add.txt", ban}};
    for (const auto& [name, contents] : files)
      if (contents != "<none>")
        drav_test::write_file(dir.file(name), contents);
    const auto before = folder_files(dir.path().string());
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    // Standard input stays open: a check that waited for a key would not end.
    const pid_t pid = start({DRAV_LOGGER_BINARY, "--check-config"}, dir.path().string(), input);
    const std::optional<int> status = wait_for_end(pid, TIMEOUT_MS);
    if (!status)
      kill(pid, SIGKILL);
    close(input[1]);
    EXPECT_EQ(status, c.message.empty() ? 0 : 1) << i;
    EXPECT_EQ(read_file(dir.file(".child-stdout")),
              c.message.empty() ? "drav-logger.cfg: server 127.0.0.1 port 27910, 3 networks in "
                                  "the access lists, 2 IP history entries\n"
                                : "")
        << i;
    const std::string err = read_file(dir.file(".child-stderr"));
    EXPECT_TRUE(matches(err, c.message.empty() ? "" : fatal_stderr_pattern(c.message + "\n")))
        << i << ": " << err;
    EXPECT_EQ(folder_files(dir.path().string()), before) << i;
  }
}

}  // namespace
