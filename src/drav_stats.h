// Layer 4 (tracker): calls layers 1 to 3, never the screen, which reads its state record.
// The polling cycle: player tracking, the connection decisions and the kicks.
#pragma once

#include <cstdint>
#include <ctime>

struct ts_config;
struct ts_status;
struct ts_dumpuser;

/// Keeps both records, clears the state record and makes the next poll the first one.
void r_dravstats_init(const ts_config& config, ts_status& status);
/// Frees what the state record holds (host-name texts, departure lists) and forgets both
/// records.
void r_dravstats_finish();
/// Seconds on the clock that poll intervals are measured with: it only moves forward, whatever
/// happens to the wall clock, and is never 0. Times in the state record are on this clock.
std::time_t r_dravstats_clock();
/// Milliseconds (1 to 1000) until r_dravstats_clock next turns: a poll comes due only then.
std::int64_t r_dravstats_ms_to_next_second();
/// Starts a poll on the first call and when poll_interval_status seconds (r_dravstats_clock)
/// have passed since the last poll started, unless one is under way; returns 1 when it started
/// one, else 0. Inside the event loop the poll's steps then run as their replies come; outside
/// it the poll runs to its end before the call returns.
int r_dravstats_run();
/// True while a poll started by r_dravstats_run waits for a reply.
bool r_dravstats_polling();
/// One poll at time `now` (r_dravstats_clock seconds), to its end: for callers outside the event
/// loop, which it drives meanwhile. A status reply whole in one datagram is
/// taken as it is; what a reply of several says about a slot is taken when the slot's details
/// agree. A reply that lost a datagram is asked for once more. No usable reply (none, one of an
/// unknown layout, one cut twice, or the server's refusal of the password) skips the poll; the
/// refusal and the unknown layout ("Server Reply not understood: <first line>", when two polls
/// in a row got it with the same first line) are told in the log pane once until a reply is
/// accepted. Three polls in a row without any reply are told as "Server Silent since ...".
void r_dravstats_update(std::time_t now);
/// How the server answers, as the log pane last told it.
enum te_server_state : int {
  SERVER_ANSWERING = 0,     // its status replies are accepted (or nothing was told yet)
  SERVER_SILENT,            // "Server Silent since ..." was told and no reply came since
  SERVER_NOT_UNDERSTOOD,    // "Server Reply not understood: ..." was told for its last replies
  SERVER_PASSWORD_REFUSED,  // its last reply refused the password
};
struct ts_server_state {
  te_server_state te_state = SERVER_ANSWERING;
  std::time_t t_since = 0;  // silent only: the first poll without a reply (r_dravstats_clock)
};
/// The server's state for the operator's eye: set by the polls that tell it in the log pane,
/// back to SERVER_ANSWERING once a status reply is accepted again (a reply that was cut on the
/// way changes nothing). Silence wins over what the replies before it said.
ts_server_state r_dravstats_server_state();
/// Forgets every player of `status` who departed recently from address `ip`, so that a banned
/// player who comes back is decided by the access list again rather than let in as a return.
void r_dravstats_forget_departed(ts_status& status, std::uint64_t ip);
/// Fetches the details of client `client` on its slot socket into `info` (cleared first).
/// Returns 1 on a whole details reply, 0 when none came, it was not whole or a datagram was cut
/// by the read, or the slot is empty (then `info` stays cleared).
int r_dravstats_do_dumpuser(ts_dumpuser& info, int client);
