// The built program run in a folder of its own: options, start-up errors, signals, checks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <signal.h>
#include <sched.h>
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

// Starts the program with `arguments` in `folder`, standard input a pipe (its writing end in
// `input`), output and error into the files ".out<tag>" and ".err<tag>" there; with
// `private_network` in a network namespace of its own, where no resolver is reachable (exit
// status 126 when it cannot be made).
pid_t spawn(const std::filesystem::path& folder, const std::vector<std::string>& arguments,
            int& input, const std::string& tag = "", bool private_network = false) {
  int ends[2];
  EXPECT_EQ(pipe(ends), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    // A test killed by its time-out must not leave the program running behind it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (private_network && unshare(CLONE_NEWNET) != 0)
      _exit(126);
    dup2(ends[0], STDIN_FILENO);
    close(ends[1]);
    dup2(open((folder / (".out" + tag)).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open((folder / (".err" + tag)).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    std::vector<char*> argv{const_cast<char*>(DRAV_LOGGER_BINARY)};
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    if (chdir(folder.c_str()) == 0)
      execv(argv[0], argv.data());
    _exit(127);
  }
  close(ends[0]);
  input = ends[1];
  return pid;
}

// Runs the program with `arguments` in a fresh folder holding `files` (or in `folder`), as
// spawn does; `meanwhile` gets the process and the pipe's writing end.
Outcome run(const std::vector<std::string>& arguments, const Files& files,
            const std::function<void(pid_t, int)>& meanwhile = {},
            const drav_test::TempDir* folder = nullptr, bool private_network = false) {
  const drav_test::TempDir fresh;
  const std::filesystem::path& dir = (folder != nullptr ? *folder : fresh).path();
  for (const auto& [name, contents] : files)
    drav_test::write_file((dir / name).string(), contents);
  int input = -1;
  const pid_t pid = spawn(dir, arguments, input, "", private_network);
  if (meanwhile)
    meanwhile(pid, input);
  close(input);
  Outcome result{wait_for_end(pid, TIMEOUT_MS), read_file((dir / ".out").string()), read_file((dir / ".err").string()),
                 {}};
  if (!result.status)
    kill(pid, SIGKILL);
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    if (!entry.path().filename().string().starts_with("."))
      result.files[entry.path().filename().string()] =
          entry.is_directory() ? "<folder>" : read_file(entry.path().string());
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

// A folder's files for a monitor with `settings` and an empty IP history.
Files monitor_files(const std::map<std::string, std::string>& settings = {},
                    const std::string& more = "") {
  return {{"drav-logger.cfg", config_text(settings) + more}, {"drav-logger-ip.txt", ""}};
}

const std::string USAGE = drav_test::regex_escape(
    "usage: drav-logger [--headless] [--events PATH] | --check-config | --find QUERY | --help | "
    "--version\n");
// `err` is the fatal error `message` (a text), then a line matching `added` when it is given.
bool is_fatal(const std::string& err, const std::string& message, const std::string& added = "") {
  return matches(err, "\n\n" + std::string(STAMP_PATTERN) + " " + regex_escape(message + "\n") +
                          (added.empty() ? "" : added + "\n"));
}

TEST(ProgramTest, OptionsEndWithTheirStatusAndTexts) {
  // getopt_long's own line on what was wrong with an option.
  const std::string told = "[^\n]+: [^\n]+ '--[a-z]+'[^\n]*\n" + USAGE;
  const struct {
    std::vector<std::string> arguments;
    int status;
    std::string stdout_pattern, stderr_pattern;
  } cases[] = {
      {{"--help"}, 0, USAGE + "(.|\n)+", ""},
      {{"--verbose"}, 2, "", told},
      {{"--headless", "--check-config"}, 2, "", USAGE},
      // The event file goes with a run only, and once.
      {{"--find", "192.0.2.7", "--events=e.json"}, 2, "", USAGE},
      {{"--events", "a", "--headless", "--events", "b"}, 2, "", USAGE},
      {{"--", "--help"}, 2, "", USAGE},
      // Without the screen's terminal only a headless run starts.
      {{"--"}, 1, "Error: standard input and output must be a terminal\n", ""},
  };
  for (const auto& c : cases) {
    const Outcome r = run(c.arguments, monitor_files());
    EXPECT_EQ(r.status, c.status) << c.arguments[0];
    EXPECT_TRUE(matches(r.out, c.stdout_pattern)) << c.arguments[0] << ": " << r.out;
    EXPECT_TRUE(matches(r.err, c.stderr_pattern)) << c.arguments[0] << ": " << r.err;
  }
}

// `text` appears in the file at `path` within the deadline.
bool wait_for_text(const std::string& path, const std::string& text) {
  for (int waited = 0; waited < TIMEOUT_MS; waited += 20) {
    if (read_file(path).find(text) != std::string::npos)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Every quit signal ends a headless run with status 0 at once, also while a poll awaits a reply
// that a server which stopped answering would hold for the minute of net_response_timeout_1.
// Nothing of the cut poll is logged. The server is named: the start resolves it.
TEST(ProgramTest, SignalsEndAHeadlessRunWithStatus0AlsoWhileAReplyIsAwaited) {
  drav_sim::SimServer server("secret");
  const Files files = monitor_files({{"net_server_ip", "localhost"},
                                     {"net_server_port", std::to_string(server.port())},
                                     {"say_init", "1"},
                                     {"net_response_timeout_1", "60000"}},
                                    "event_file=unused.json\n");
  const std::string polled = std::string(STAMP_PATTERN) + " Server Change     canyon_ridge\n";
  // The option wins over the configuration's event file.
  const std::string events = "([{]\"time\":\"" + std::string(STAMP_PATTERN) +
                             "\",\"kind\":\"[a-z_]+\"[^\n]*[}]\n)*";
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    const drav_test::TempDir dir;
    server.set_faults({});
    server.clear_commands();
    std::string first;
    const Outcome r = run({"--headless", "--events", "e.json"}, files, [&](pid_t pid, int) {
      // The first poll is answered, the next one's status never.
      EXPECT_TRUE(wait_for_text(dir.file("drav-logger.log"), "canyon_ridge")) << signal;
      first = server.commands().empty() ? "" : server.commands()[0].command;
      server.set_faults({.silent = true});
      server.clear_commands();
      EXPECT_TRUE(server.wait_for_commands(1, TIMEOUT_MS)) << signal;
      kill(pid, signal);
    }, &dir);
    EXPECT_EQ(std::tuple(r.status, r.err), std::tuple(0, "")) << signal;
    EXPECT_TRUE(matches(r.files.at("drav-logger.log"), polled)) << signal << ": " << r.out;
    // Headless, log lines go to standard output too; the first command announces the start.
    EXPECT_EQ(r.out, r.files.at("drav-logger.log")) << signal;
    EXPECT_TRUE(matches(r.files.at("e.json"), events)) << r.files.at("e.json");
    EXPECT_EQ(r.files.count("unused.json"), 0u);
    EXPECT_EQ(first, "say \"-\r\x02*** Logger init (Version: Feb 18 2012) \x02***\"");
  }
}

// A fatal error at the start ends with status 1 after a key or the input's end; a headless
// run has no operator and ends at once. A line of its own says what the message lacks.
TEST(ProgramTest, StartUpErrorsAreFatalWithTheirMessage) {
  const std::string long_line =
      "log_file=" + std::string(2038, 'a') + "xyz" + std::string(50, 'b') + "\n";
  const std::string bad_address = "config - Invalid server address: net_server_ip=";
  const struct {
    std::vector<std::string> arguments;
    std::optional<std::string> config;  // "drav-logger.cfg"
    std::string message;                // after "./src/drav_"
    std::string added = "";             // a pattern of the added line, if any
    bool key = false;                   // the run waits for a key
  } cases[] = {
      {{"--headless"}, std::nullopt, "config - Config file not found",
       "/.+/drav-logger\\.cfg: No such file or directory \\(the working folder is /.+\\)"},
      {{}, std::nullopt, "config - Config file not found", ".+", true},
      {{}, config_text({{"log_file", "<omit>"}}), "config - Not all variables found (0): log_file=",
       "Missing keys: log_file"},
      {{},
       config_text({{"say_init", "<omit>"}, {"ping_kick", "<omit>"}}),
       "config - Not all variables found (13): say_init=",
       "Missing keys: say_init, ping_kick",
       true},
      {{}, config_text() + " log_file=x\n", "config - Unknown config parameter:  log_file=x"},
      {{}, config_text() + "# comment\r\n", "config - Unknown config parameter: # comment"},
      // A long line is read in pieces of at most 2047 bytes; the second is no key.
      {{}, config_text() + long_line, "config - Unknown config parameter: xyz" + std::string(50, 'b'),
       "", true},
      {{}, config_text({{"net_server_ip", "256.1.1.1"}}), bad_address + "256.1.1.1",
       "It is no IPv4 address \\(four numbers of 0 to 255\\)"},
      {{}, config_text({{"net_server_ip", "192.0.2"}}), bad_address + "192.0.2", ".+"},
      {{}, config_text({{"net_server_ip", ""}}), bad_address, ".+"},
      {{}, config_text({{"log_file", "."}}), "log - File open error: .", "\\.: Is a directory"},
      {{"--headless"}, config_text({{"access_list_file", "access.txt"}}),
       "access - File access.txt could not be opened", "access\\.txt: No such file or directory"},
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
    // The check fails at once with the start's message (a service manager presses no key)
    // and writes nothing.
    const Outcome checked = run({"--check-config"}, files);
    EXPECT_EQ(checked.files, files) << c.message;
    for (const Outcome& each : {r, checked}) {
      EXPECT_EQ(std::tuple(each.status, each.out), std::tuple(1, "")) << c.message;
      EXPECT_TRUE(is_fatal(each.err, "./src/drav_" + c.message, c.added)) << each.err;
    }
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
  const Outcome r = run({"--check-config"}, monitor_files({{"log_file", log}}));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(is_fatal(r.err, "./src/drav_log - File open error: " + log,
                       regex_escape(log + ": ") + "[A-Za-z ]+"))
      << r.err;
  EXPECT_EQ(read_file(log), "old\n");
}

// The check reads every file a start reads (the start's errors: above) and writes nothing.
TEST(ProgramTest, CheckConfigReadsWhatAStartReadsAndWritesNothing) {
  const std::string with_access = config_text({{"access_list_file", "access.txt"}});
  const Files good = {
      {"drav-logger.cfg", with_access},
      {"access.txt", "0 192.0.2.66              cheater\n5 198.51.100.0/24\n"},
      {"drav-logger-ip.txt",
       "20120218 192.0.2.1       Red\\\n20120219 192.0.2.2       Blue\\b.example\n"},
      {"access-add.txt", "; 2026-12-06 18:30:00 - cheat\n0 192.0.2.7\n\n"},
      {"drav-logger.log", "old\n"}};
  const struct {
    Files changes;
    std::string message = "";  // the first line of the error
    std::string added = "";  // a pattern of the added line
    std::string server = "127.0.0.1";
    std::string events = "";  // the line of the optional event file
  } cases[] = {
      {{}, ""},
      {.changes = {{"drav-logger.cfg", with_access + "event_file=e.json\n"}},
       .events = "drav-logger.cfg: events appended to e.json\n"},
      {{{"drav-logger.log", ""}}, ""},
      // A host name is resolved; the summary shows both.
      {{{"drav-logger.cfg", config_text({{"access_list_file", "access.txt"},
                                         {"net_server_ip", "localhost"}})}},
       "", "", "127.0.0.1 (localhost)"},
      // 0.0.0.0 is this machine, not a failed parse.
      {{{"drav-logger.cfg", config_text({{"access_list_file", "access.txt"},
                                         {"net_server_ip", "0.0.0.0"}})}},
       "", "", "0.0.0.0"},
      {{{"drav-logger-ip.txt", ""}}, "./src/drav_listip - File not found: drav-logger-ip.txt",
       "drav-logger-ip\\.txt: No such file or directory"},
  };
  for (const auto& c : cases) {
    const Files files = changed(good, c.changes);
    // Standard input stays open: a check that waited for a key would not end.
    const Outcome r = run({"--check-config"}, files);
    EXPECT_EQ(r.status, c.message.empty() ? 0 : 1) << c.message;
    EXPECT_EQ(r.out, c.message.empty() ? "drav-logger.cfg: server " + c.server +
                                             " port 27910, 3 networks in the access lists, 2 IP "
                                             "history entries\n" + c.events
                                       : "");
    EXPECT_TRUE(c.message.empty() ? r.err.empty() : is_fatal(r.err, c.message, c.added))
        << c.message << ": " << r.err;
    EXPECT_EQ(r.files, files) << c.message;
  }
}

// A host name is resolved at the start (the monitor polling it: the signals test); a name that
// does not exist stops the start and fails the check; a resolver that cannot be reached (in a
// network namespace of its own) is no wrong name: the start waits and the check passes.
TEST(ProgramTest, ServerHostNamesAreResolvedAtTheStart) {
  const Files unknown = monitor_files({{"net_server_ip", "no-such-host.invalid"}});
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo("no-such-host.invalid", nullptr, &hints, &found) == EAI_NONAME) {
    for (const std::string option : {"--headless", "--check-config"}) {
      const Outcome r = run({option}, unknown);
      EXPECT_EQ(std::tuple(r.status, r.out), std::tuple(1, "")) << option;
      EXPECT_TRUE(is_fatal(r.err,
                           "./src/drav_config - Invalid server address: "
                           "net_server_ip=no-such-host.invalid",
                           "It is no IPv4 address and no known host name \\(.+\\)"))
          << option << ": " << r.err;
    }
  }

  const Files named = monitor_files({{"net_server_ip", "game.example.org"}});
  const std::string told =
      "./src/drav_config - net_server_ip=game.example.org could not be resolved now (";
  const drav_test::TempDir dir;
  const Outcome waiting = run({"--headless"}, named, [&](pid_t pid, int) {
    const bool said = wait_for_text(dir.file(".err"), told);
    if (wait_for_end(pid, 0, true) == 126)
      return;
    EXPECT_TRUE(said);
    EXPECT_EQ(wait_for_end(pid, 0, true), std::nullopt);  // it waits, it does not give up
    kill(pid, SIGKILL);
  }, &dir, true);
  if (waiting.status == 126)
    GTEST_SKIP() << "no network namespace may be made here: the resolver's failure was not tried";
  EXPECT_TRUE(waiting.err.ends_with("): trying again every 5 s\n")) << waiting.err;
  const Outcome checked = run({"--check-config"}, named, {}, nullptr, true);
  EXPECT_EQ(std::tuple(checked.status, checked.out),
            std::tuple(0, "drav-logger.cfg: server game.example.org (not resolved yet) port "
                          "27910, 0 networks in the access lists, 0 IP history entries\n"));
  EXPECT_TRUE(matches(checked.err, std::string(STAMP_PATTERN) + " " + regex_escape(told) +
                                       "[^\n]+\\)\n"))
      << checked.err;
}

// A second monitor on a folder is refused while the first runs, whether the first ended or
// was killed; the check and the find, which write nothing, run beside it.
TEST(ProgramTest, ASecondMonitorOnAFolderIsRefused) {
  drav_sim::SimServer server("secret");
  const drav_test::TempDir dir;
  const Files files = monitor_files({{"net_server_port", std::to_string(server.port())}});
  int input = -1;
  for (const auto& [name, contents] : files)
    drav_test::write_file(dir.file(name), contents);
  const pid_t first = spawn(dir.path(), {"--headless"}, input, "1");
  ASSERT_TRUE(server.wait_for_commands(1, TIMEOUT_MS));
  const Outcome second = run({"--headless"}, {}, {}, &dir);
  EXPECT_EQ(second.status, 1);
  EXPECT_TRUE(is_fatal(second.err, "./src/drav_config - Folder " + dir.path().string() +
                                       " is in use by another monitor (process " +
                                       std::to_string(first) + ")"))
      << second.err;
  EXPECT_EQ(run({"--check-config"}, {}, {}, &dir).status, 0);
  EXPECT_EQ(run({"--find", "nobody"}, {}, {}, &dir).status, 1);
  kill(first, SIGKILL);
  EXPECT_EQ(wait_for_end(first, TIMEOUT_MS), -1);
  close(input);
  for (int run_number = 0; run_number < 2; ++run_number) {
    server.clear_commands();
    const Outcome next = run({"--headless"}, {}, [&](pid_t pid, int) {
      EXPECT_TRUE(server.wait_for_commands(1, TIMEOUT_MS));
      kill(pid, SIGTERM);
    }, &dir);
    EXPECT_EQ(std::tuple(next.status, next.err), std::tuple(0, "")) << run_number;
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
      // Only a day without year, month and day is undated.
      {"Zero", 0, "0000-01-05  192.0.2.50       1  Zero\n", "",
       {{ips, FIND_FILES.at(ips) + "00000105 192.0.2.50      Zero\\\n"}}},
      // The history's mark of an undated line is no part of a name.
      {"\\", 1, "", ""},
      {"256.1.1.1", 2, "", "Bad address: 256.1.1.1"},
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
