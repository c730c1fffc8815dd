// drav-logger: monitors and logs one game server through its remote console.
#include <getopt.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <span>

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
enum class te_run_mode { SCREEN, HEADLESS, CHECK_CONFIG, HELP, VERSION, USAGE_ERROR };

// Without the screen there is no terminal to give back and no key to pace the loop.
bool gb_headless = false;

constexpr char CONFIG_FILE[] = "drav-logger.cfg";
constexpr char USAGE_TEXT[] =
    "usage: drav-logger [--headless | --check-config | --help | --version]\n";
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
    "  --help          print this help and exit\n"
    "  --version       print the version and exit\n";

// Long options only; any unique prefix of a name is taken for it.
constexpr option gct_options[] = {
    {"headless", no_argument, nullptr, static_cast<int>(te_run_mode::HEADLESS)},
    {"check-config", no_argument, nullptr, static_cast<int>(te_run_mode::CHECK_CONFIG)},
    {"help", no_argument, nullptr, static_cast<int>(te_run_mode::HELP)},
    {"version", no_argument, nullptr, static_cast<int>(te_run_mode::VERSION)},
    {nullptr, 0, nullptr, 0},
};

// How long one turn of the loop waits while there is no screen step to pace it.
constexpr long LOOP_WAIT_NANOSECONDS = 200'000'000;

// At most one option and no operand. getopt_long has already told what was wrong with an
// unknown, ambiguous or misspelt option; the caller adds the usage line.
te_run_mode r_monitor_run_mode(int argc, char* argv[]) {
  te_run_mode mode = te_run_mode::SCREEN;
  int option_count = 0;
  int code = 0;
  while ((code = getopt_long(argc, argv, "", gct_options, nullptr)) != -1) {
    if (code == '?' || ++option_count > 1) {
      return te_run_mode::USAGE_ERROR;
    }
    mode = static_cast<te_run_mode>(code);
  }
  return optind < argc ? te_run_mode::USAGE_ERROR : mode;
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
  r_dravlog_check_file(go_config.log_file);
  r_dravaccess_init(go_config);
  r_dravlistip_init(go_config);
  std::printf("%s: server %s port %u, %zu networks in the access lists, %zu IP history entries\n",
              CONFIG_FILE, r_dravip_ip_to_text(go_config.net_server_ip).c_str(),
              static_cast<unsigned>(static_cast<std::uint16_t>(go_config.net_server_port)),
              r_dravaccess_get_entry_count(), r_dravlistip_get_list().size());
  return 0;
}

void wait_one_turn() {
  timespec wait{0, LOOP_WAIT_NANOSECONDS};
  nanosleep(&wait, nullptr);  // a signal cuts the wait short, which is what we want
}

// Paces one turn of the main loop; false when the operator asked to quit.
bool r_monitor_pace() {
  if (!gb_headless) {
    return r_dravscreen_run() != 0;  // its key wait paces the loop
  }
  wait_one_turn();
  return true;
}

}  // namespace

/// Set by the signal handler; the main loop ends when it is not 0.
volatile std::sig_atomic_t gb_quit = 0;

/// Handler of SIGINT, SIGTERM, SIGHUP and SIGQUIT: re-installs itself and asks the loop to end.
void r_signal(int signal_number) {
  std::signal(signal_number, r_signal);
  gb_quit = 1;
}

/// Exit handler: gives back what the modules hold, in reverse order of start-up.
void r_monitor_atexit() {
  r_dravlog_exit_started();
  r_dravscreen_finish();  // gives the terminal back first; nothing when there is no screen
  r_dravstats_finish();
  r_dravnet_finish();
  r_dravlog_finish();
}

int main(int argc, char* argv[]) {
  switch (r_monitor_run_mode(argc, argv)) {
    case te_run_mode::HELP:
      std::fputs(USAGE_TEXT, stdout);
      std::fputs(HELP_TEXT, stdout);
      return 0;
    case te_run_mode::VERSION:
      std::printf("drav-logger %s\n", DRAV_VERSION);
      return 0;
    case te_run_mode::USAGE_ERROR:
      std::fputs(USAGE_TEXT, stderr);
      return 2;
    case te_run_mode::CHECK_CONFIG:
      return r_monitor_check_config();
    case te_run_mode::HEADLESS:
      gb_headless = true;
      break;
    case te_run_mode::SCREEN:
      break;
  }
  // A file size limit then fails the write like a full disk, which the writers cut back and
  // report, instead of killing the program between the two halves of a line.
  std::signal(SIGXFSZ, SIG_IGN);
  r_dravlog_init_first();
  if (gb_headless) {
    // A service manager or a script reads standard output and has no key to press.
    r_dravlog_set_echo_stdout(true);
    r_dravlog_set_wait_for_key(false);
    // A reader of standard output that goes away must not end the monitoring.
    std::signal(SIGPIPE, SIG_IGN);
  }
  r_dravconfig_read_config(go_config, CONFIG_FILE);
  r_dravlog_init(go_config.log_file);
  r_dravaccess_init(go_config);
  r_dravlistip_init(go_config);
  r_dravnet_init(go_config);
  r_dravstats_init(go_config, go_status);
  if (!gb_headless) {
    r_dravscreen_init(go_config, go_status);
  }

  std::atexit(r_monitor_atexit);
  // Cleared before the handlers are in place: a signal that comes while the start is
  // announced (which waits for the server's reply) must still end the run.
  gb_quit = 0;
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    std::signal(signal_number, r_signal);
  }
  if (go_config.say_init == 1) {
    r_dravnet_say(go_config.console_color, "Logger init (Version: Feb 18 2012)");
  }

  while (gb_quit == 0) {
    r_dravstats_run();
    if (!r_monitor_pace()) {
      return 0;
    }
  }
  return 0;
}
