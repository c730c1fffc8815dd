// drav-logger: monitors and logs one game server through its remote console.
#include <csignal>
#include <cstdlib>
#include <ctime>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_listip.h"
#include "drav_log.h"
#include "drav_net.h"
#include "drav_stats.h"
#include "drav_statsparse.h"
#include "drav_tools.h"

namespace {

// Both records live for the whole run; every module keeps pointers to them.
ts_config go_config;
ts_status go_status;

// How long one turn of the loop waits while there is no screen step to pace it.
constexpr long LOOP_WAIT_NANOSECONDS = 200'000'000;

void wait_one_turn() {
  timespec wait{0, LOOP_WAIT_NANOSECONDS};
  nanosleep(&wait, nullptr);  // a signal cuts the wait short, which is what we want
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
  r_dravnet_finish();
  r_dravlog_finish();
}

int main() {
  // A file size limit then fails the write like a full disk, which the writers cut back and
  // report, instead of killing the program between the two halves of a line.
  std::signal(SIGXFSZ, SIG_IGN);
  r_dravlog_init_first();
  r_dravconfig_read_config(go_config, "drav-logger.cfg");
  r_dravlog_init(go_config);
  r_dravaccess_init(go_config);
  r_dravlistip_init(go_config);
  r_dravnet_init(go_config);
  r_dravstats_init(go_config, go_status);

  std::atexit(r_monitor_atexit);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    std::signal(signal_number, r_signal);
  }
  if (go_config.say_init == 1) {
    r_dravtools_say(go_config.console_color, "Logger init (Version: Feb 18 2012)");
  }
  gb_quit = 0;

  while (gb_quit == 0) {
    r_dravstats_run();
    wait_one_turn();
  }
  return 0;
}
