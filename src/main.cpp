// drav-logger: monitors and logs one game server through its remote console.
#include <getopt.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_log.h"
#include "drav_net.h"
#include "drav_screen.h"
#include "drav_stats.h"
#include "drav_statsparse.h"

namespace {

// Both records live for the whole run; every module keeps pointers to them.
ts_config go_config;
ts_status go_status;

// What the command line asks for. Without arguments the program runs with its screen. The
// values of the options are their codes in gct_options.
enum te_run_mode : int {
  RUN_SCREEN = 0,
  RUN_HEADLESS = 1,
  RUN_CHECK_CONFIG = 2,
  RUN_HELP = 3,
  RUN_VERSION = 4,
  RUN_USAGE_ERROR = 5,
  RUN_FIND = 6,
};

// Without the screen there is no terminal to give back and no key to pace the loop.
bool gb_headless = false;
// The argument of --find.
std::string gpc_find_query;

constexpr char CONFIG_FILE[] = "drav-logger.cfg";
constexpr char USAGE_TEXT[] =
    "usage: drav-logger [--headless | --check-config | --find QUERY | --help | --version]\n";
constexpr char HELP_TEXT[] =
    "Monitors and logs one game server through its remote console. Reads\n"
    "drav-logger.cfg from the working directory.\n"
    "\n"
    "  (no option)     run with the full-terminal screen\n"
    "  --headless      run without the screen; log lines also go to standard output,\n"
    "                  and SIGINT, SIGTERM, SIGHUP or SIGQUIT end it with status 0\n"
    "  --check-config  read the configuration, the access lists and the IP history\n"
    "                  as a start would, say what they hold and exit; contacts no\n"
    "                  server and writes no file\n"
    "  --find QUERY    print the IP history entries of an address (192.0.2.7), of a\n"
    "                  network (192.0.2.0/24) or whose name or host names hold a\n"
    "                  text (any case), then for a text the other names seen on\n"
    "                  their addresses; reads the files like --check-config and\n"
    "                  writes none; status 0 when something matched, 1 when\n"
    "                  nothing did, 2 for a bad query or a file that cannot be read\n"
    "  --help          print this help and exit\n"
    "  --version       print the version and exit\n";

// Long options only; any unique prefix of a name is taken for it.
constexpr option gct_options[] = {
    {"headless", no_argument, nullptr, RUN_HEADLESS},
    {"check-config", no_argument, nullptr, RUN_CHECK_CONFIG},
    {"find", required_argument, nullptr, RUN_FIND},
    {"help", no_argument, nullptr, RUN_HELP},
    {"version", no_argument, nullptr, RUN_VERSION},
    {nullptr, 0, nullptr, 0},
};

// How long one turn of the loop waits while there is no screen step to pace it.
constexpr long LOOP_WAIT_NANOSECONDS = 200'000'000;

// At most one option and no operand. getopt_long has already told what was wrong with an
// unknown, ambiguous or misspelt option; the caller adds the usage line.
te_run_mode r_monitor_run_mode(int argc, char* argv[]) {
  te_run_mode mode = RUN_SCREEN;
  int option_count = 0;
  int code = 0;
  while ((code = getopt_long(argc, argv, "", gct_options, nullptr)) != -1) {
    if (code == '?' || ++option_count > 1) {
      return RUN_USAGE_ERROR;
    }
    mode = static_cast<te_run_mode>(code);
    if (mode == RUN_FIND) {
      gpc_find_query = optarg;
    }
  }
  return optind < argc ? RUN_USAGE_ERROR : mode;
}

// A start's reading of the files, through the same readers, without its side effects: the
// log file is only checked for being openable (a start would create it), and no socket is
// opened, as a monitor already running in this folder holds the configured port. Errors
// are the start's own messages, without the wait for a key: this runs before a service's
// start or from a shell.
int r_monitor_check_config() {
  r_dravlog_init_first();
  r_dravlog_set_wait_for_key(false);
  r_dravconfig_read_config(go_config, CONFIG_FILE);
  // A name that the resolver cannot answer for now may be right: the start waits for it.
  const bool resolved = r_dravconfig_resolve_server(go_config, false);
  r_dravlog_check_file(go_config.log_file);
  r_dravaccess_init(go_config);
  r_dravlistip_init(go_config);
  std::string server = r_dravip_ip_to_text(go_config.net_server_ip).c_str();
  if (!resolved) {
    server = std::string(go_config.net_server_ip_text) + " (not resolved yet)";
  } else if (server != go_config.net_server_ip_text) {
    server += std::string(" (") + go_config.net_server_ip_text + ")";
  }
  // The exit status tells what was checked; a summary that cannot be printed changes nothing.
  (void)std::printf(
      "%s: server %s port %u, %zu networks in the access lists, %zu IP history entries\n",
      CONFIG_FILE, server.c_str(),
      static_cast<unsigned>(static_cast<std::uint16_t>(go_config.net_server_port)),
      r_dravaccess_get_entry_count(), r_dravlistip_get_list().size());
  r_dravlistip_finish();
  r_dravaccess_finish();
  r_dravlog_finish();
  return 0;
}

// --find reads the files as a start does, but through its own error path: a file that
// cannot be read ends it with status 2 and says which file and why, at once (a script or
// an operator at a shell runs it, with nobody to press a key).
struct ts_find_error {
  std::string pc_message;
};

// The modules' fatal errors, thrown back to the find; their text without the source path
// in front and the line feed at the end.
[[noreturn]] void r_monitor_find_fatal(const char* message) {
  std::string_view text = message;
  if (const std::size_t dash = text.find(" - "); text.starts_with("./src/") && dash != text.npos) {
    text.remove_prefix(dash + 3);
  }
  while (text.ends_with('\n')) {
    text.remove_suffix(1);
  }
  // The find answers in one line: a message's added line of why follows after a colon.
  std::string line(text);
  for (std::size_t end = line.find('\n'); end != std::string::npos; end = line.find('\n', end)) {
    line.replace(end, 1, ": ");
  }
  throw ts_find_error{line};
}

// The readers do not say why they could not open a file, so the find opens it first to
// tell. It is only read: a monitor using it at the same time is not disturbed.
void r_monitor_find_check(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    throw ts_find_error{std::string(path) + ": " + std::strerror(errno)};
  }
  (void)std::fclose(file);  // nothing was written, so the close has nothing to lose
}

// Runs one reader; its error names `path` unless the message already does.
void r_monitor_find_read(const char* path, void (*read)()) {
  try {
    read();
  } catch (ts_find_error& error) {
    if (path != nullptr && error.pc_message.find(path) == std::string::npos) {
      error.pc_message = std::string(path) + ": " + error.pc_message;
    }
    throw;
  }
}

// The files of a start, read by the start's readers; the log file is left alone.
void r_monitor_find_load() {
  r_monitor_find_check(CONFIG_FILE);
  r_monitor_find_read(CONFIG_FILE, [] { r_dravconfig_read_config(go_config, CONFIG_FILE); });
  if (go_config.access_list_file[0] != '\0') {
    r_monitor_find_check(go_config.access_list_file);
  }
  // The access list's messages name their file, which is one of two.
  r_monitor_find_read(nullptr, [] { r_dravaccess_init(go_config); });
  if (go_config.log_file_ip[0] == '\0') {
    throw ts_find_error{std::string(CONFIG_FILE) + ": log_file_ip names no file"};
  }
  r_monitor_find_check(go_config.log_file_ip);
  // A monitor may be appending to the history: its unfinished last line is left out.
  r_monitor_find_read(go_config.log_file_ip, [] { r_dravlistip_init(go_config, LOAD_SHARED); });
}

// One printed entry: its columns as text, and the level.
struct ts_find_line {
  std::string pc_day;  // "YYYY-MM-DD", or dashes for an undated entry
  std::string pc_address;
  std::int32_t i_level = 0;
  std::string pc_name;
  std::string pc_hostnames;
};

// The entry's columns; the day column shows an undated entry with dashes.
ts_find_line r_monitor_find_line(const ts_listip_data& entry) {
  ts_find_line line;
  if (entry.year == 0 && entry.month == 0 && entry.day == 0) {
    line.pc_day = "----------";
  } else {
    char day[48];
    // The fields are not checked when read, so a bad date may take more than ten columns.
    (void)std::snprintf(day, sizeof day, "%04d-%02d-%02d", static_cast<int>(entry.year),
                        static_cast<int>(entry.month), static_cast<int>(entry.day));
    line.pc_day = day;
  }
  line.pc_address = r_dravip_ip_to_text(entry.ip).c_str();
  line.i_level = entry.access_level;
  line.pc_name = r_dravlistip_shown_name(r_dravlistip_seen_name(entry));
  line.pc_hostnames = entry.hostnames;
  return line;
}

// The matching entries, then for a text the other names seen on their addresses.
struct ts_find_result {
  std::vector<ts_find_line> ats_matches;
  std::vector<ts_find_line> ats_others;
};

// Every matching index in list order. The history's find skips most entries on their
// signatures and address ranges, far faster than matching each entry here.
std::vector<std::size_t> r_monitor_find_indices(const ts_listip_query& query) {
  std::vector<std::size_t> indices;
  std::int32_t index = r_dravlistip_find(query, 0, 1);
  // The find wraps around: a hit at or before the last one means every entry was seen.
  while (index >= 0 && (indices.empty() || static_cast<std::size_t>(index) > indices.back())) {
    indices.push_back(static_cast<std::size_t>(index));
    index = r_dravlistip_find(query, index + 1, 1);
  }
  return indices;
}

// The names of `ip` not printed yet, each once and dated with the day it was first seen
// (an undated entry counts as the earliest, as its dashes sort).
void r_monitor_find_others(std::uint64_t ip, const std::set<std::string>& printed,
                           ts_find_result& result) {
  const auto list = r_dravlistip_get_list();
  std::int32_t first = 0;
  std::int32_t end = 0;
  r_dravlistip_ip_locate(ip, first, end);
  std::map<std::string, std::size_t> others;
  for (auto index = static_cast<std::size_t>(first); index < static_cast<std::size_t>(end);
       ++index) {
    ts_find_line line = r_monitor_find_line(list[index]);
    if (printed.contains(line.pc_name)) {
      continue;
    }
    const auto [place, added] = others.emplace(line.pc_name, result.ats_others.size());
    if (added) {
      result.ats_others.push_back(std::move(line));
    } else if (line.pc_day < result.ats_others[place->second].pc_day) {
      result.ats_others[place->second] = std::move(line);
    }
  }
}

// Every address's entries are neighbours in the sorted list, and so are its matches.
ts_find_result r_monitor_find_entries(const ts_listip_query& query) {
  ts_find_result result;
  const auto list = r_dravlistip_get_list();
  const std::vector<std::size_t> indices = r_monitor_find_indices(query);
  for (std::size_t i = 0; i < indices.size();) {
    const std::uint64_t ip = list[indices[i]].ip;
    std::set<std::string> printed;
    for (; i < indices.size() && list[indices[i]].ip == ip; ++i) {
      result.ats_matches.push_back(r_monitor_find_line(list[indices[i]]));
      printed.insert(result.ats_matches.back().pc_name);
    }
    if (query.te_kind == QUERY_TEXT) {
      r_monitor_find_others(ip, printed, result);
    }
  }
  return result;
}

// Widths of the level and name columns, so that the columns line up in both parts.
struct ts_find_widths {
  std::size_t i_level = 0;
  std::size_t i_name = 0;
};

// Characters on the terminal: the shown names hold UTF-8, one column per character.
std::size_t r_monitor_find_columns(std::string_view text) {
  std::size_t columns = 0;
  for (const char c : text) {
    columns += (static_cast<unsigned char>(c) & 0xC0U) != 0x80U ? 1 : 0;
  }
  return columns;
}

void r_monitor_find_widen(ts_find_widths& widths, const std::vector<ts_find_line>& lines) {
  for (const ts_find_line& line : lines) {
    widths.i_level = std::max(widths.i_level, std::to_string(line.i_level).size());
    widths.i_name = std::max(widths.i_name, r_monitor_find_columns(line.pc_name));
  }
}

// Day, address, level and name, two blanks apart, then the host names when there are any.
void r_monitor_find_print(const std::vector<ts_find_line>& lines, const ts_find_widths& widths) {
  std::string text;
  for (const ts_find_line& line : lines) {
    const std::string level = std::to_string(line.i_level);
    text = line.pc_day + "  " + line.pc_address;
    text.append(15 - std::min<std::size_t>(line.pc_address.size(), 15) + 2, ' ');
    text.append(widths.i_level - level.size(), ' ');
    text += level + "  " + line.pc_name;
    if (!line.pc_hostnames.empty()) {
      text.append(widths.i_name - r_monitor_find_columns(line.pc_name) + 2, ' ');
      text += line.pc_hostnames;
    }
    text += '\n';
    // A failed write shows in the stream's error state, looked at once at the end.
    (void)std::fwrite(text.data(), 1, text.size(), stdout);
  }
}

// Prints what the query finds; the exit status.
int r_monitor_find_answer(const ts_listip_query& query) {
  const ts_find_result result = r_monitor_find_entries(query);
  ts_find_widths widths;
  r_monitor_find_widen(widths, result.ats_matches);
  r_monitor_find_widen(widths, result.ats_others);
  r_monitor_find_print(result.ats_matches, widths);
  if (!result.ats_others.empty()) {
    (void)std::fputs("\nOther names on these addresses:\n", stdout);  // see the flush below
    r_monitor_find_print(result.ats_others, widths);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    throw ts_find_error{std::string("standard output: ") + std::strerror(errno)};
  }
  return result.ats_matches.empty() ? 1 : 0;
}

// --find: what the IP history holds of an address, a network or a text; contacts no server
// and writes no file, so it can run next to a monitor on the same files.
int r_monitor_find() {
  std::string error;
  const std::optional<ts_listip_query> query = r_dravlistip_parse_query(gpc_find_query, error);
  if (!query) {
    (void)std::fprintf(stderr, "drav-logger: %s\n", error.c_str());  // the status tells it too
    return 2;
  }
  r_dravlog_init_first();
  r_dravlog_init("");  // no log stream: reading writes no log line, and standard output is ours
  r_dravlog_set_wait_for_key(false);
  r_dravlog_set_fatal_handler(r_monitor_find_fatal);
  int status = 2;
  try {
    r_monitor_find_load();
    status = r_monitor_find_answer(*query);
  } catch (const ts_find_error& failure) {
    (void)std::fprintf(stderr, "drav-logger: %s\n", failure.pc_message.c_str());
  }
  r_dravlog_set_fatal_handler(nullptr);
  r_dravlistip_finish();
  r_dravaccess_finish();
  r_dravlog_finish();
  return status;
}

void r_monitor_wait_one_turn() {
  timespec wait{0, LOOP_WAIT_NANOSECONDS};
  nanosleep(&wait, nullptr);  // a signal cuts the wait short, which is what we want
}

// Paces one turn of the main loop; false when the operator asked to quit.
bool r_monitor_pace() {
  if (!gb_headless) {
    return r_dravscreen_run() != 0;  // its key wait paces the loop
  }
  r_monitor_wait_one_turn();
  return true;
}

}  // namespace

/// Set by the signal handler; the main loop ends when it is not 0.
volatile std::sig_atomic_t gb_quit = 0;

/// Handler of SIGINT, SIGTERM, SIGHUP and SIGQUIT: re-installs itself and asks the loop to end.
void r_signal(int signal_number) {
  // signal fails only for a number that is no signal, and this one was just delivered.
  (void)std::signal(signal_number, r_signal);
  gb_quit = 1;
}

/// Exit handler: gives back what the modules hold, in reverse order of start-up.
void r_monitor_atexit() {
  r_dravlog_exit_started();
  r_dravscreen_finish();  // gives the terminal back first; nothing when there is no screen
  r_dravstats_finish();
  r_dravnet_finish();
  r_dravlistip_finish();
  r_dravaccess_finish();
  r_dravconfig_finish();
  r_dravlog_finish();
}

namespace {

// Answers a command line that asks for no run; gives the exit status. The status is all a
// caller can act on, so a text that standard output or error does not take changes nothing.
int r_monitor_answer(te_run_mode mode) {
  switch (mode) {
    case RUN_HELP:
      (void)std::fputs(USAGE_TEXT, stdout);
      (void)std::fputs(HELP_TEXT, stdout);
      return 0;
    case RUN_VERSION:
      (void)std::printf("drav-logger %s\n", DRAV_VERSION);
      return 0;
    case RUN_CHECK_CONFIG:
      return r_monitor_check_config();
    case RUN_FIND:
      return r_monitor_find();
    case RUN_USAGE_ERROR:
    case RUN_SCREEN:
    case RUN_HEADLESS:
      break;
  }
  (void)std::fputs(USAGE_TEXT, stderr);
  return 2;
}

// Starts the modules in the program's order, then puts the exit handler and the signal
// handlers in place. signal fails only for a number that is no signal, so its result is not
// looked at.
void r_monitor_start() {
  // A file size limit then fails the write like a full disk, which the writers cut back and
  // report, instead of killing the program between the two halves of a line.
  (void)std::signal(SIGXFSZ, SIG_IGN);
  r_dravlog_init_first();
  if (gb_headless) {
    // A service manager or a script reads standard output and has no key to press.
    r_dravlog_set_echo_stdout(true);
    r_dravlog_set_wait_for_key(false);
    // A reader of standard output that goes away must not end the monitoring.
    (void)std::signal(SIGPIPE, SIG_IGN);
  }
  r_dravconfig_read_config(go_config, CONFIG_FILE);
  // Two monitors on one folder would write every line twice and both kick and announce.
  r_dravconfig_lock(CONFIG_FILE);
  (void)r_dravconfig_resolve_server(go_config, true);  // with the wait it comes back resolved
  r_dravlog_init(go_config.log_file);
  r_dravaccess_init(go_config);
  r_dravlistip_init(go_config);
  r_dravnet_init(go_config);
  r_dravstats_init(go_config, go_status);
  if (!gb_headless) {
    r_dravscreen_init(go_config, go_status);
  }

  // At least 32 registrations are guaranteed, and this is the program's only one.
  (void)std::atexit(r_monitor_atexit);
  // Cleared before the handlers are in place: a signal that comes while the start is
  // announced (which waits for the server's reply) must still end the run.
  gb_quit = 0;
  sigset_t quit_signals;
  (void)sigemptyset(&quit_signals);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    (void)sigaddset(&quit_signals, signal_number);
    (void)std::signal(signal_number, r_signal);
  }
  // A quit must not wait for the reply a poll awaits (up to net_response_timeout_1).
  r_dravnet_set_quit_flag(&gb_quit, quit_signals);
}

// Polls and paces until the operator quits or a signal asks the program to end.
void r_monitor_loop() {
  while (gb_quit == 0) {
    // Between polls: the answers of reverse look-ups, and the lines that wait for a disk.
    r_dravlistip_run();
    r_dravaccess_run();
    r_dravstats_run();
    if (!r_monitor_pace()) {
      return;
    }
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  const te_run_mode mode = r_monitor_run_mode(argc, argv);
  if (mode != RUN_SCREEN && mode != RUN_HEADLESS) {
    return r_monitor_answer(mode);
  }
  gb_headless = mode == RUN_HEADLESS;
  r_monitor_start();
  if (go_config.say_init == 1) {
    r_dravnet_say(go_config.console_color, "Logger init (Version: Feb 18 2012)");
  }
  r_monitor_loop();
  return 0;
}
