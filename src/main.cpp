// drav-logger: monitors and logs one game server through its remote console.
#include <getopt.h>
#include <signal.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_eventfile.h"
#include "drav_listip.h"
#include "drav_ip.h"
#include "drav_log.h"
#include "drav_loop.h"
#include "drav_net.h"
#include "drav_report.h"
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
// The code of --events, which joins a run with the screen or --headless.
constexpr int EVENTS_OPTION = 7;

// Without the screen there is no terminal to give back.
bool gb_headless = false;
// The argument of --find.
std::string gpc_find_query;
// The argument of --events; it wins over the configuration's event_file.
std::optional<std::string> gpc_events_path;

constexpr char CONFIG_FILE[] = "drav-logger.cfg";
constexpr char USAGE_TEXT[] =
    "usage: drav-logger [--headless] [--events PATH] | --check-config | --find QUERY | --help |"
    " --version\n";
constexpr char HELP_TEXT[] =
    "Monitors and logs one game server through its remote console. Reads\n"
    "drav-logger.cfg from the working directory.\n"
    "\n"
    "  (no option)     run with the full-terminal screen\n"
    "  --headless      run without the screen; log lines also go to standard output,\n"
    "                  and SIGINT, SIGTERM, SIGHUP or SIGQUIT end it with status 0\n"
    "  --events PATH   with the screen or --headless: append every event to PATH as\n"
    "                  one JSON line (instead of the configuration's event_file)\n"
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
    {"events", required_argument, nullptr, EVENTS_OPTION},
    {"help", no_argument, nullptr, RUN_HELP},
    {"version", no_argument, nullptr, RUN_VERSION},
    {nullptr, 0, nullptr, 0},
};

// How often the loop looks whether a poll is due and retries lines that wait for a disk.
constexpr std::int64_t TICK_MS = 200;

// At most one option besides --events, which only a run takes, and no operand. getopt_long
// has already told what was wrong with an unknown, ambiguous or misspelt option; the caller
// adds the usage line.
te_run_mode r_monitor_run_mode(int argc, char* argv[]) {
  te_run_mode mode = RUN_SCREEN;
  int option_count = 0;
  int code = 0;
  while ((code = getopt_long(argc, argv, "", gct_options, nullptr)) != -1) {
    if (code == EVENTS_OPTION && !gpc_events_path) {
      gpc_events_path = optarg;
      continue;
    }
    if (code == '?' || code == EVENTS_OPTION || ++option_count > 1) {
      return RUN_USAGE_ERROR;
    }
    mode = static_cast<te_run_mode>(code);
    if (mode == RUN_FIND) {
      gpc_find_query = optarg;
    }
  }
  const bool runs = mode == RUN_SCREEN || mode == RUN_HEADLESS;
  return optind < argc || (gpc_events_path && !runs) ? RUN_USAGE_ERROR : mode;
}

// The program's own events: the quit signals, the ended look-ups and the tick.
struct ts_monitor_events {
  std::vector<ts_loop_event> ao_quit_signals;
  ts_loop_event o_lookups;
  ts_loop_event o_tick;
};
ts_monitor_events go_events;

// Between polls: the answers of reverse look-ups, the lines that wait for a disk, and the
// next poll when it is due.
void r_monitor_tick(short /*what*/) {
  r_dravlistip_run();
  r_dravaccess_run();
  r_dravstats_run();
  // Woken just after the poll clock turns, a due poll starts on time rather than up to a
  // tick late, so that polls keep their interval.
  go_events.o_tick.arm(std::min(TICK_MS, r_dravstats_ms_to_next_second() + 1));
}

}  // namespace

/// Exit handler: gives back what the modules hold, in reverse order of start-up.
void r_monitor_atexit() {
  r_dravlog_exit_started();
  r_dravscreen_finish();  // gives the terminal back first; nothing when there is no screen
  go_events = ts_monitor_events{};
  r_dravstats_finish();
  r_dravnet_finish();
  r_dravlistip_finish();
  r_dravaccess_finish();
  r_dravconfig_finish();
  r_draveventfile_finish();
  r_dravlog_finish();
  r_dravloop_finish();
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
      return r_dravreport_check_config(go_config, CONFIG_FILE);
    case RUN_FIND:
      return r_dravreport_find(go_config, CONFIG_FILE, gpc_find_query);
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
  r_dravloop_init();
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
  r_draveventfile_init(gpc_events_path ? gpc_events_path->c_str() : go_config.event_file);
  r_dravaccess_init(go_config);
  r_dravlistip_init(go_config);
  r_dravnet_init(go_config);
  r_dravstats_init(go_config, go_status);
  if (!gb_headless) {
    r_dravscreen_init(go_config, go_status);
  }

  // At least 32 registrations are guaranteed, and this is the program's only one.
  (void)std::atexit(r_monitor_atexit);
  // A quit signal ends every wait at once, also the reply a poll awaits (up to
  // net_response_timeout_1) and the announcement of the start.
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    go_events.ao_quit_signals.push_back(ts_loop_event::watch_signal(
        signal_number, [](short) { r_dravloop_request_quit(); }));
  }
}

// Runs the event loop until the operator quits or a signal asks the program to end.
void r_monitor_loop() {
  go_events.o_lookups = ts_loop_event::watch_readable(r_dravip_lookup_descriptor(),
                                                      [](short) { r_dravlistip_run(); });
  go_events.o_lookups.arm();
  go_events.o_tick = ts_loop_event::make_timer(r_monitor_tick);
  go_events.o_tick.arm(0);
  while (!r_dravloop_quitting()) {
    r_dravloop_run_once();
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
