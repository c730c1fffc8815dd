// The built program run in a folder of its own: options, start-up errors, signals, checks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "sim_server.h"
#include "support.h"

using namespace drav_test;

namespace {

constexpr int TIMEOUT_MS = 10000;
using Files = std::map<std::string, std::string>;

// `pid`'s exit status (-1 when killed), none after `timeout_ms`; `keep` leaves it unreaped.
std::optional<int> wait_for_end(pid_t pid, int timeout_ms, bool keep = false) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  siginfo_t info{};
  while (waitid(P_PID, pid, &info, WEXITED | WNOHANG | (keep ? WNOWAIT : 0)) == 0 &&
         info.si_pid != pid) {
    if (std::chrono::steady_clock::now() >= deadline)
      return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return info.si_code == CLD_EXITED ? info.si_status : -1;
}

struct Outcome {
  std::optional<int> status;  // none when it did not end
  std::string out, err;
  Files files;  // the folder's files afterwards
};

// Runs the program with `arguments` in a fresh folder holding `files`, standard input a pipe,
// output and error files; `meanwhile` gets the process and the pipe's writing end.
Outcome run(const std::vector<std::string>& arguments, const Files& files,
            const std::function<void(pid_t, int)>& meanwhile = {}) {
  drav_test::TempDir dir;
  for (const auto& [name, contents] : files)
    drav_test::write_file(dir.file(name), contents);
  int input[2];
  EXPECT_EQ(pipe(input), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    // A test killed by its time-out must not leave the program running behind it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(input[0], STDIN_FILENO);
    close(input[1]);
    dup2(open(dir.file(".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open(dir.file(".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    std::vector<char*> argv{const_cast<char*>(DRAV_LOGGER_BINARY)};
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    if (chdir(dir.path().c_str()) == 0)
      execv(argv[0], argv.data());
    _exit(127);
  }
  close(input[0]);
  if (meanwhile)
    meanwhile(pid, input[1]);
  close(input[1]);
  Outcome result{
      wait_for_end(pid, TIMEOUT_MS), read_file(dir.file(".out")), read_file(dir.file(".err")), {}};
  if (!result.status)
    kill(pid, SIGKILL);
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    if (!entry.path().filename().string().starts_with("."))
      result.files[entry.path().filename().string()] = read_file(entry.path().string());
  return result;
}

bool matches(const std::string& text, const std::string& pattern) {
  return std::regex_match(text, std::regex(pattern, std::regex::extended));
}

// `files` with `changes` made: an empty text removes the file.
Files changed(Files files, const Files& changes) {
  for (const auto& [name, contents] : changes)
    if (contents.empty())
      files.erase(name);
    else
      files[name] = contents;
  return files;
}

const std::string USAGE = drav_test::regex_escape(
    "usage: drav-logger [--headless | --check-config | --find QUERY | --help | --version]\n");
const std::string NO_TERMINAL = "Error: standard input and output must be a terminal\n";

TEST(ProgramTest, OptionsEndWithTheirStatusAndTexts) {
  // getopt_long's own line on what was wrong with an option.
  const std::string told = "[^\n]+: [^\n]+ '--[a-z]+'[^\n]*\n" + USAGE;
  const std::string version = "drav-logger [0-9]+\\.[0-9]+\\.[0-9]+\n";
  const struct {
    std::vector<std::string> arguments;
    int status;
    std::string stdout_pattern, stderr_pattern;
  } cases[] = {
      {{"--help"}, 0, USAGE + "(.|\n)+", ""},
      {{"--hel"}, 0, USAGE + "(.|\n)+", ""},
      {{"--version"}, 0, version, ""},
      {{"--v", "--"}, 0, version, ""},
      {{"--verbose"}, 2, "", told},
      {{"--he"}, 2, "", told},
      {{"--help=x"}, 2, "", told},
      {{"--help", "--version"}, 2, "", USAGE},
      {{"--headless", "--check-config"}, 2, "", USAGE},
      {{"--", "--help"}, 2, "", USAGE},
      {{""}, 2, "", USAGE},
      // Without the screen's terminal only a headless run starts.
      {{"--"}, 1, NO_TERMINAL, ""},
      {{}, 1, NO_TERMINAL, ""},
  };
  for (const auto& c : cases) {
    const std::string what = c.arguments.empty() ? "" : c.arguments[0];
    const Outcome r =
        run(c.arguments, {{"drav-logger.cfg", config_text()}, {"drav-logger-ip.txt", ""}});
    EXPECT_EQ(r.status, c.status) << what;
    EXPECT_TRUE(matches(r.out, c.stdout_pattern)) << what << ": " << r.out;
    EXPECT_TRUE(matches(r.err, c.stderr_pattern)) << what << ": " << r.err;
  }
}

TEST(ProgramTest, SignalsEndAHeadlessRunWithStatus0) {
  drav_sim::SimServer server("secret");
  const Files files = {
      {"drav-logger.cfg",
       config_text({{"net_server_port", std::to_string(server.port())}, {"say_init", "1"}})},
      {"drav-logger-ip.txt", ""}};
  // A signal may cut the first poll short.
  const std::string polled =
      "(" + std::string(drav_test::STAMP_PATTERN) + " Server Change     canyon_ridge\n)?";
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    server.clear_commands();
    // The signals are handled once the loop polls the server.
    const Outcome r = run({"--headless"}, files, [&](pid_t pid, int) {
      EXPECT_TRUE(server.wait_for_commands(1, TIMEOUT_MS)) << signal;
      kill(pid, signal);
    });
    EXPECT_EQ(std::tuple(r.status, r.err), std::tuple(0, "")) << signal;
    EXPECT_TRUE(matches(r.out, polled)) << signal << ": " << r.out;
    // Headless, log lines go to standard output too; the first command announces the start.
    EXPECT_EQ(r.out, r.files.at("drav-logger.log")) << signal;
    ASSERT_FALSE(server.commands().empty());
    EXPECT_EQ(server.commands()[0].command,
              "say \"-\r\x02*** Logger init (Version: Feb 18 2012) \x02***\"");
  }
}

// A fatal error at the start ends with status 1 after a key or the input's end; a headless
// run has no operator and ends at once.
TEST(ProgramTest, StartUpErrorsAreFatalWithTheirMessage) {
  const std::string long_line =
      "log_file=" + std::string(2038, 'a') + "xyz" + std::string(50, 'b') + "\n";
  const struct {
    std::vector<std::string> arguments;
    std::optional<std::string> config;  // "drav-logger.cfg"
    std::string message;                // after "./src/drav_config - "
    bool key = false;                   // the run waits for a key
  } cases[] = {
      {{"--headless"}, std::nullopt, "Config file not found"},
      {{}, std::nullopt, "Config file not found", true},
      {{}, config_text({{"log_file", "<omit>"}}), "Not all variables found (0): log_file="},
      {{},
       config_text({{"say_init", "<omit>"}, {"ping_kick", "<omit>"}}),
       "Not all variables found (13): say_init=",
       true},
      {{}, config_text() + " log_file=x\n", "Unknown config parameter:  log_file=x"},
      {{}, config_text() + "# comment\r\n", "Unknown config parameter: # comment"},
      // A long line is read in pieces of at most 2047 bytes; the second is no key.
      {{}, config_text() + long_line, "Unknown config parameter: xyz" + std::string(50, 'b'), true},
  };
  for (const auto& c : cases) {
    Files files = {{"drav-logger-ip.txt", ""}};
    if (c.config)
      files["drav-logger.cfg"] = *c.config;
    const Outcome r = run(c.arguments, files, [&](pid_t pid, int input) {
      if (c.key) {
        ASSERT_EQ(wait_for_end(pid, 300), std::nullopt) << c.message;
        EXPECT_EQ(write(input, "x", 1), 1);
      }
    });
    EXPECT_EQ(std::tuple(r.status, r.out), std::tuple(1, "")) << c.message;
    EXPECT_TRUE(matches(r.err, fatal_stderr_pattern("./src/drav_config - " + c.message + "\n")))
        << r.err;
  }
}

// A log file that is there is checked for writing: one the start could not open fails the
// check with its message and stays as it was.
TEST(ProgramTest, CheckConfigTriesAnExistingLogFileForWriting) {
  const drav_test::TempDir outside;
  const std::string log = outside.file("old.log");
  drav_test::write_file(log, "old\n");
  chmod(log.c_str(), 0444);
  const drav_test::Immutable immutable(log);
  if (access(log.c_str(), W_OK) == 0)
    GTEST_SKIP() << "this user may write any file and the file system refuses the immutable "
                    "attribute: the unwritable log was not tried";
  const Outcome r = run({"--check-config"}, {{"drav-logger.cfg", config_text({{"log_file", log}})},
                                             {"drav-logger-ip.txt", ""}});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(
      matches(r.err, fatal_stderr_pattern("./src/drav_log - File open error: " + log + "\n")))
      << r.err;
  EXPECT_EQ(read_file(log), "old\n");
}

// The check fails with the start's message for every kind of broken file, at once (a service
// manager presses no key), and writes nothing.
TEST(ProgramTest, CheckConfigReadsWhatAStartReadsAndWritesNothing) {
  const std::string with_access = config_text({{"access_list_file", "access.txt"}});
  const Files good = {
      {"drav-logger.cfg", with_access},
      {"access.txt", "0 192.0.2.66              cheater\n5 198.51.100.0/24\n"},
      {"drav-logger-ip.txt",
       "20120218 192.0.2.1       Red\\\n20120219 192.0.2.2       Blue\\b.example\n"},
      {"access-add.txt", "; 2026-12-06 18:30:00 - cheat\n0 192.0.2.7\n\n"},
      {"drav-logger.log", "old\n"}};
  const std::pair<Files, std::string> cases[] = {
      {{}, ""},
      {{{"drav-logger.log", ""}}, ""},
      {{{"drav-logger.cfg", ""}}, "./src/drav_config - Config file not found"},
      {{{"drav-logger.cfg", with_access + "log_file =x\n"}},
       "./src/drav_config - Unknown config parameter: log_file =x"},
      {{{"drav-logger.cfg",
         config_text({{"access_list_file", "access.txt"}, {"player_color", "<omit>"}})}},
       "./src/drav_config - Not all variables found (23): player_color="},
      {{{"drav-logger.cfg", config_text({{"log_file", "no-such-folder/x.log"}})}},
       "./src/drav_log - File open error: no-such-folder/x.log"},
      {{{"access.txt", ""}}, "./src/drav_access - File access.txt could not be opened"},
      {{{"drav-logger-ip.txt", ""}}, "./src/drav_listip - File not found: drav-logger-ip.txt"},
  };
  for (const auto& [changes, message] : cases) {
    const Files files = changed(good, changes);
    // Standard input stays open: a check that waited for a key would not end.
    const Outcome r = run({"--check-config"}, files);
    EXPECT_EQ(r.status, message.empty() ? 0 : 1) << message;
    EXPECT_EQ(r.out, message.empty() ? "drav-logger.cfg: server 127.0.0.1 port 27910, 3 networks "
                                       "in the access lists, 2 IP history entries\n"
                                     : "");
    EXPECT_TRUE(matches(r.err, message.empty() ? "" : fatal_stderr_pattern(message + "\n")))
        << message << ": " << r.err;
    EXPECT_EQ(r.files, files) << message;
  }
}

// A monitor's folder: levels 1, 5 for 198.51.100.0/24, 0 for banned 203.0.113.9; colour codes
// (1, 7), a game character (0351, "é"), an undated line, a name on two host lists; no log file.
const Files FIND_FILES = {
    {"drav-logger.cfg", config_text({{"access_list_file", "access.txt"}})},
    {"access.txt", "5 198.51.100.0/24\n"},
    {"access-add.txt", "; 2026-12-06 18:30:00 - cheat\n0 203.0.113.9\n\n"},
    {"drav-logger-ip.txt",
     "20120218 192.0.2.1       \001Red\007Fox\\gw.example;alias.example\n"
     "00000000 192.0.2.1       Blue\\\n"
     "20130301 192.0.2.1       Gr\351en\\\n"
     "20120219 198.51.100.7    redneck\\host7.example\n"
     "20120221 198.51.100.7    Zed\\host7.example\n"
     "20120220 198.51.100.7    Zed\\other.example\n"
     "20120222 203.0.113.9     Fred\\\n"},
};

// Every query leaves the folder as it was; an unreadable file ends the find at once, also with
// standard input open.
TEST(ProgramTest, FindPrintsMatchingEntriesAndWritesNothing) {
  const std::string ips = "drav-logger-ip.txt",
                    appending = FIND_FILES.at(ips) + "20261207 192.0.2.";
  const struct {
    std::string query;
    int status;
    std::string out, error;  // the error without the program's name
    Files changes = {};
  } cases[] = {
      {"192.0.2.1", 0,
       "2012-02-18  192.0.2.1        1  RedFox  gw.example;alias.example\n"
       "2013-03-01  192.0.2.1        1  Gr\u00e9en\n"
       "----------  192.0.2.1        1  Blue\n",
       ""},
      // Another name is shown once per address, with its first day.
      {"red", 0,
       "2012-02-18  192.0.2.1        1  RedFox   gw.example;alias.example\n"
       "2012-02-19  198.51.100.7     5  redneck  host7.example\n"
       "2012-02-22  203.0.113.9      0  Fred\n"
       "\n"
       "Other names on these addresses:\n"
       "2013-03-01  192.0.2.1        1  Gr\u00e9en\n"
       "----------  192.0.2.1        1  Blue\n"
       "2012-02-20  198.51.100.7     5  Zed      other.example\n",
       ""},
      // No heading when every name of the addresses was printed.
      {"HOST7", 0,
       "2012-02-21  198.51.100.7     5  Zed      host7.example\n"
       "2012-02-19  198.51.100.7     5  redneck  host7.example\n",
       ""},
      // A monitor's append under way: its unfinished last line is left out, not an error.
      {"Fred", 0, "2012-02-22  203.0.113.9      0  Fred\n", "", {{ips, appending}}},
      {"nobody", 1, "", ""},
      {"192.0.2.0/33", 2, "", "Bad network: 192.0.2.0/33"},
      {"red", 2, "", ips + ": No such file or directory", {{ips, ""}}},
      {"red", 2, "", "Invalid line in " + ips + " (line 1 is too short): short", {{ips, "short\n"}}},
      {"red", 2, "", "access.txt: No such file or directory", {{"access.txt", ""}}},
      {"red",
       2,
       "",
       "drav-logger.cfg: Unknown config parameter: bad",
       {{"drav-logger.cfg", config_text() + "bad\n"}}},
  };
  for (const auto& c : cases) {
    const Files files = changed(FIND_FILES, c.changes);
    const Outcome r = run({"--find", c.query}, files, [&c](pid_t pid, int) {
      EXPECT_EQ(wait_for_end(pid, TIMEOUT_MS, true), c.status) << c.query << c.error;
    });
    const std::string err = c.error.empty() ? "" : "drav-logger: " + c.error + "\n";
    EXPECT_EQ(std::tuple(r.status, r.out, r.err), std::tuple(c.status, c.out, err)) << c.query;
    EXPECT_EQ(r.files, files) << c.query << c.error;
  }
}

}  // namespace
