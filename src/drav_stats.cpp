// The tracker's poll. A poll is a sequence of steps, each waiting for its reply in the event
// loop while keys and signals go on being answered; the server sees one command at a time:
//  1. Departed and kicked players whose reconnect times ran out are forgotten.
//  2. "status" is asked; a reply that shows a lost datagram, or is not understood, is asked
//     once more and the better one kept. No usable reply ends the poll here (silence, a
//     refused password and a layout not known here are noted for the operator).
//  3. A reply of several datagrams is checked: a marked player it lists as stored is kicked
//     at once, and every slot it would change is confirmed with "dumpuser <slot>" on the
//     slot's own socket; what cannot be confirmed stays as it was until a later poll. A player
//     the details show gone from their slot, while the reply may have lost lines, is looked for
//     in the slots those lines could hold before the departure is taken.
//  4. "serverinfo" is asked when the map or game type changed or the settings are due (twice
//     when they changed, to rule out a reply cut between two lines).
//  5. The reply's players are matched with the stored ones: newcomers are decided (connect,
//     return, rejection, block) and announced, renames logged, departures logged.
//  6. The new table replaces the stored one, and the kicks not sent in step 3 go out.
//  7. The details due ("dumpuser") are asked for new, renamed and counted-down players.
//  8. The poll ends once the server took its last kick or announcement.
#include "drav_stats.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <forward_list>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_log.h"
#include "drav_loop.h"
#include "drav_net.h"
#include "drav_stats_event.h"
#include "drav_statsparse.h"
#include "drav_tools.h"

namespace {

const ts_config* gpts_config = nullptr;
ts_status* gpts_status = nullptr;

// A server that gave no usable status reply to this many polls in a row is told as silent.
constexpr int SILENT_POLLS = 3;

// What the tracker remembers from poll to poll besides the state record. Init and finish
// replace it as a whole.
struct ts_tracker_state {
  // 1 from start (and from every init) until the first poll that took in everything its reply
  // said: players already on the server when monitoring starts are never blocked, also those
  // whose line a damaged reply left open on the first poll.
  int b_first_poll = 1;
  // The operator was told that the server refuses the password, or that its status reply has
  // a layout not known here; each told again only after a status reply was accepted in between.
  bool b_password_refused_told = false;
  bool b_not_understood_told = false;
  // The first line of the last poll's status reply when it was not understood.
  std::optional<std::string> pc_not_understood_line;
  // Polls in a row without a usable status reply; when the first of them ran (on the poll
  // clock and on the wall clock); whether the silence was told.
  int i_unanswered_polls = 0;
  std::time_t t_unanswered_since = 0;
  std::time_t t_unanswered_wall = 0;
  bool b_silence_told = false;
  // What the server's last told replies said, for r_dravstats_server_state.
  te_server_state te_replies = SERVER_ANSWERING;
  // For each slot whose stored player was kept although the details showed someone else
  // there (the reply may have lost a line listing the player in another slot), that someone
  // else's address; 0 for the other slots.
  std::array<std::uint64_t, MAX_CLIENTS> ai_other_ip = {};
};

ts_tracker_state go_tracker;

// What a details request brought.
enum te_details_answer : std::uint8_t {
  DETAILS_NONE,   // no answer, or not a whole one
  DETAILS_EMPTY,  // the server says nobody uses the slot
  DETAILS_WHOLE,
};

// What a poll knows about one slot besides its line.
struct ts_slot_step {
  // The stored player was kept because the reply's word on the slot could not be checked:
  // nothing about them is asked, compared or kicked until a poll confirms them.
  bool b_kept = false;
  // The address of someone else whom the details showed in the slot, in this poll or in the
  // last one that kept the stored player; 0 when they showed nobody else.
  std::uint64_t i_other_ip = 0;
  // ats_checked holds details of this poll that agree with the slot's line.
  bool b_checked = false;
  // What the slot's details request of this poll brought (into ats_checked), if it was made.
  std::optional<te_details_answer> o_details = std::nullopt;
  // The details showed the stored player gone from the slot: nobody there, or someone else.
  bool b_stored_gone = false;
  // The stored player is listed nowhere, and the details of every slot whose line the reply
  // may have lost show them not there: they left.
  bool b_absent = false;
  // The details are due this poll; the player is new or changed name or number (stored
  // details then describe someone else's state).
  bool b_details_due = false;
  bool b_fresh = false;
  bool b_new = false;
  // The slot's kick went out already this poll.
  bool b_kicked = false;
};

// Scratch storage of one poll, owned by the poll's steps and handed to each of them. Its slot
// tables are each as large as the state record's, too large for the stack, and nothing of it
// is kept from one poll to the next.
struct ts_poll {
  ts_status_reply ts_reply;
  // A second status reply when the first was damaged; then the reply as it came while its
  // slots are checked.
  ts_status_reply ts_reply_again;
  std::array<ts_client, MAX_CLIENTS> ats_next;
  std::array<ts_dumpuser, MAX_CLIENTS> ats_checked;
  std::array<ts_slot_step, MAX_CLIENTS> ats_step;
  ts_serverinfo ts_serverinfo_new;
  ts_serverinfo ts_serverinfo_again;
};

// The poll under way, or the last one (done); its result tells whether it took a reply.
ts_task<bool> go_poll;

using ts_departed_list = std::forward_list<ts_disconnected>;

// The wait for "status" collects until the server stops sending: a full server with long
// names needs three datagrams, and a fixed count would drop the players of the last one.
constexpr int STATUS_DATAGRAMS = -1;

// The whole answer of a server to a command with the wrong password.
constexpr char PASSWORD_REFUSED[] = "Bad rcon_password.";

bool r_dravstats_same_player(const ts_status_line& line, const ts_ip_port& address,
                             std::int32_t qport) {
  return line.ts_address == address && line.i_qport == qport;
}

void r_dravstats_add_disconnected_list(const ts_client& slot, ts_departed_list& list,
                                       std::time_t now) {
  try {
    list.push_front(ts_disconnected{slot.ts_line.ts_address, slot.ts_line.i_qport, now});
  } catch (const std::bad_alloc&) {
    r_dravlog_error("./src/drav_stats - Unable to allocate memory\n");
  }
}

void r_dravstats_update_disconnected_list(ts_departed_list& list, std::time_t now, int timeout) {
  list.remove_if([&](const ts_disconnected& entry) {
    return std::difftime(now, entry.t_time) >= static_cast<double>(timeout);
  });
}

bool r_dravstats_list_holds(const ts_departed_list& list, const ts_status_line& line) {
  for (const ts_disconnected& entry : list) {
    if (r_dravstats_same_player(line, entry.ts_address, entry.i_qport)) {
      return true;
    }
  }
  return false;
}

// The characters that frame names in the announcements: the low bytes of the colours.
unsigned char r_dravstats_console_char() {
  return static_cast<unsigned char>(gpts_config->console_color);
}
unsigned char r_dravstats_player_char() {
  return static_cast<unsigned char>(gpts_config->player_color);
}

// Both announcements take the long form (with the access-list comment) only when their
// setting is 2 and there is a comment; otherwise the short form.
bool r_dravstats_long_form(int setting, const char* comment) {
  return setting == 2 && comment[0] != '\0';
}

// The blocked and the incoming announcements: "<label>: <name>", followed by the access-list
// comment in parentheses in the long form.
void r_dravstats_say_with_comment(const char* label, int setting, const ts_status_line& line,
                                  const char* comment) {
  const unsigned char console = r_dravstats_console_char();
  const unsigned char player = r_dravstats_player_char();
  if (r_dravstats_long_form(setting, comment)) {
    r_dravnet_say(gpts_config->console_color, "%c%s: %c%s%c (%c%s%c)", console, label, player,
                  line.ac_name, console, player, comment, console);
  } else {
    r_dravnet_say(gpts_config->console_color, "%c%s: %c%s%c", console, label, player, line.ac_name,
                  console);
  }
}

// The decision for a player seen for the first time in this connection: rejected after an
// admin kick, back after a short absence, blocked by the access list, or accepted.
void r_dravstats_decide_new_player(ts_client& slot) {
  const ts_status_line& line = slot.ts_line;
  if (r_dravstats_list_holds(gpts_status->pts_kicked, line)) {
    slot.i_kick_reason = KICK_REJECTED;
    r_dravstats_tell_player(EVENT_REJECT, slot);
    if (gpts_config->say_connect_reject_kicked == 1) {
      r_dravnet_say(gpts_config->console_color, "%cRejected: %c%s%c", r_dravstats_console_char(),
                    r_dravstats_player_char(), line.ac_name, r_dravstats_console_char());
    }
    return;
  }
  char comment[TEXT_FIELD_SIZE] = {};
  slot.i_access_level = r_dravaccess_get_access_level(line.ts_address.ip, comment);
  // A return within the reconnect time is let in as it was before, unless the address was
  // banned since (a ban writes level 0; another player of the address may have been banned).
  if (slot.i_access_level > 0 && r_dravstats_list_holds(gpts_status->pts_disconnected, line)) {
    r_dravstats_tell_player(EVENT_RECONNECT, slot, comment);
    return;
  }
  if (slot.i_access_level < gpts_config->access_level && go_tracker.b_first_poll != 1) {
    slot.i_kick_reason = KICK_BLOCKED;
    r_dravstats_tell_player(EVENT_BLOCK, slot, comment);
    if (gpts_config->say_connect_block > 0) {
      r_dravstats_say_with_comment("Blocked", gpts_config->say_connect_block, line, comment);
    }
    return;
  }
  r_dravstats_tell_player(EVENT_CONNECT, slot, comment);
  if (line.b_connecting == 1 && gpts_config->say_connect_incoming > 0) {
    r_dravstats_say_with_comment("Incoming", gpts_config->say_connect_incoming, line, comment);
  }
}

// The host names of an ended look-up go to every listed player of the address still without.
void r_dravstats_looked_up(std::uint64_t ip, const char* hostnames) {
  for (ts_client& slot : gpts_status->ats_client) {
    if (hostnames != nullptr && slot.b_active == 1 && slot.ts_line.ts_address.ip == ip &&
        !slot.pc_hostnames) {
      slot.pc_hostnames = hostnames;
      r_dravstats_tell_player(EVENT_HOST_NAMES, slot);
    }
  }
}

const char* r_dravstats_hostnames_or_null(const ts_client& slot) {
  return slot.pc_hostnames ? slot.pc_hostnames->c_str() : nullptr;
}

// One "serverinfo" into `info`; true when the reply was whole.
ts_task<bool> r_dravstats_ask_serverinfo(ts_serverinfo& info) {
  info = ts_serverinfo{};
  const std::optional<ts_net_reply> reply = co_await ts_net_ask("serverinfo", 1, NET_MAIN_SOCKET);
  co_return reply && r_dravstatsparse_parse_serverinfo(reply->o_text.data(), reply->o_text.size(),
                                                       info) == 1;
}

// The settings into `info`. A reply cut between two lines looks whole, so settings that differ
// from `known` are taken only when a second reply says the same.
ts_task<bool> r_dravstats_fetch_serverinfo(ts_poll& poll, const ts_serverinfo& known) {
  ts_serverinfo& info = poll.ts_serverinfo_new;
  if (!co_await r_dravstats_ask_serverinfo(info)) {
    co_return false;
  }
  if (info == known) {
    co_return true;
  }
  co_return co_await r_dravstats_ask_serverinfo(poll.ts_serverinfo_again) &&
      poll.ts_serverinfo_again == info;
}

// Step of a poll: asks for the settings when the map or game type changed, when none were
// accepted yet or when they are due, and logs a server change when they differ.
ts_task<void> r_dravstats_poll_serverinfo(ts_poll& poll, std::time_t now) {
  ts_status& status = *gpts_status;
  const int interval = gpts_config->poll_interval_serverinfo;
  const bool ask = std::strcmp(poll.ts_reply.ac_map, status.ac_map) != 0 ||
                   std::strcmp(poll.ts_reply.ac_gametype, status.ac_gametype) != 0 ||
                   status.t_last_serverinfo == 0 ||
                   (interval >= 1 &&
                    std::difftime(now, status.t_last_serverinfo) >= static_cast<double>(interval));
  if (!ask) {
    co_return;
  }
  status.t_last_serverinfo = 0;
  if (co_await r_dravstats_fetch_serverinfo(poll, status.ts_serverinfo)) {
    status.t_last_serverinfo = now;
    if (!(poll.ts_serverinfo_new == status.ts_serverinfo)) {
      if (std::strcmp(poll.ts_serverinfo_new.ac_hostname, status.ts_serverinfo.ac_hostname) != 0) {
        char clean[TEXT_FIELD_SIZE];
        r_dravtools_remove_colors(clean, poll.ts_serverinfo_new.ac_hostname);
        status.i_hostname_length = std::strlen(clean);
      }
      status.ts_serverinfo = poll.ts_serverinfo_new;
      ts_event event = r_dravevent_make(EVENT_SERVER_CHANGE);
      r_dravevent_set_name(event, status.ts_serverinfo.ac_mapname);
      r_dravevent_tell(event);
    }
  }
}

// The same connection: address, port and qport. Within one slot the port may differ: the
// server keeps a player in their slot when the port they send from changes (as behind a home
// router), recognising them by address and qport.
bool r_dravstats_same_connection(const ts_status_line& a, const ts_status_line& b, bool same_slot) {
  return a.ts_address.ip == b.ts_address.ip && a.i_qport == b.i_qport &&
         (same_slot || a.ts_address.port == b.ts_address.port);
}

bool r_dravstats_holds_player(int j, const ts_status_line& line, bool same_slot) {
  const ts_client& stored = gpts_status->ats_client[j];
  return stored.b_active == 1 && r_dravstats_same_connection(stored.ts_line, line, same_slot);
}

// For every line of the reply the stored slot of the same player, or -1 for a newcomer.
// Each stored slot continues at most one line: a server that lists one address, port and
// qport twice must not make two slots own one player's host-name text. The slot of the
// line's own number is preferred, so that such twins keep their slots from poll to poll;
// otherwise the lowest unclaimed slot is taken. With distinct players this is simply the
// first stored slot of the same player.
std::array<int, MAX_CLIENTS> r_dravstats_match_stored_players(const ts_poll& poll) {
  std::array<int, MAX_CLIENTS> match;
  match.fill(-1);
  std::array<bool, MAX_CLIENTS> claimed = {};
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    const ts_client& next = poll.ats_next[i];
    if (next.b_active == 1 && r_dravstats_holds_player(i, next.ts_line, true)) {
      match[i] = i;
      claimed[i] = true;
    }
  }
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    const ts_client& next = poll.ats_next[i];
    if (next.b_active != 1 || match[i] >= 0) {
      continue;
    }
    for (int j = 0; j < MAX_CLIENTS; ++j) {
      if (!claimed[j] && r_dravstats_holds_player(j, next.ts_line, false)) {
        match[i] = j;
        claimed[j] = true;
        break;
      }
    }
  }
  return match;
}

struct ts_dumpuser_budget {
  int i_per_poll = 0;
  int i_fetched = 0;
};

// Details fetches due in one poll before the rest waits for the next, so that details falling
// due together are spread. Rounded up in 64 bits: any interval up to the largest 32-bit value
// is allowed.
int r_dravstats_details_per_poll(int present) {
  const int interval = gpts_config->poll_interval_dumpuser;
  return interval <= 0
             ? MAX_CLIENTS
             : static_cast<int>((static_cast<std::int64_t>(present) + interval - 1) / interval);
}

// Hands what the tracker knows about a player (all but the status line and the active flag)
// from one slot to another; the host-name text changes owner, so no two slots share it.
void r_dravstats_carry_over(ts_client& to, ts_client& from) {
  to.ts_info = from.ts_info;
  to.i_access_level = from.i_access_level;
  to.i_dumpuser_countdown = from.i_dumpuser_countdown;
  to.pc_hostnames = std::move(from.pc_hostnames);
  from.pc_hostnames.reset();
  to.i_kick_reason = from.i_kick_reason;
}

// A server drops the address from a player's details when the player renames, until the
// player connects anew: details without it keep the address known before.
void r_dravstats_keep_known_address(ts_dumpuser& info, const ts_dumpuser& known) {
  if (info.ab_found[DUMPUSER_FOUND_IP] == 0 && known.ab_found[DUMPUSER_FOUND_IP] == 1) {
    info.ts_address = known.ts_address;
    info.ab_found[DUMPUSER_FOUND_IP] = 1;
  }
}

// Details never obtained are empty: a whole reply always sets the found flags of its lines.
bool r_dravstats_details_known(const ts_dumpuser& info) {
  return !(info == ts_dumpuser{});
}

// Sends the kick of slot `i` once a poll, to the occupant the poll's reply confirmed; while
// the server lists a kicked player it is repeated every poll, under their current number.
void r_dravstats_kick_slot(ts_poll& poll, int i) {
  ts_slot_step& step = poll.ats_step[static_cast<std::size_t>(i)];
  if (!step.b_kicked) {
    step.b_kicked = true;
    // The reply says nothing the tracker acts on; the next command waits for it all the same.
    r_dravnet_send_then("kick " + std::to_string(i), 1, NET_MAIN_SOCKET, nullptr);
  }
}

// What a details reply says, into `info` (cleared for anything but whole details).
te_details_answer r_dravstats_read_details(const std::optional<ts_net_reply>& reply,
                                           const std::string& number, ts_dumpuser& info) {
  if (!reply || reply->b_cut) {
    return DETAILS_NONE;
  }
  if (reply->o_text == "Client " + number + " is not active\n") {
    return DETAILS_EMPTY;
  }
  if (r_dravstatsparse_parse_dumpuser(reply->o_text.data(), reply->o_text.size(), info) != 1) {
    // Part of a reply is no details: nothing of it may be compared or shown.
    info = ts_dumpuser{};
    return DETAILS_NONE;
  }
  // A player the server dropped keeps the slot for a while, without a name.
  if (info.ac_name[0] == '\0') {
    info = ts_dumpuser{};
    return DETAILS_EMPTY;
  }
  return DETAILS_WHOLE;
}

// The details of client `client` into `info` (cleared first). Details are one small datagram,
// which a lost datagram cannot splice; one cut by the read is no answer.
ts_task<te_details_answer> r_dravstats_ask_details(ts_dumpuser& info, int client) {
  info = ts_dumpuser{};
  const std::string number = std::to_string(client);
  const std::optional<ts_net_reply> reply = co_await ts_net_ask("dumpuser " + number, 1, client);
  co_return r_dravstats_read_details(reply, number, info);
}

// The details of slot `i` into the poll's ats_checked, asked at most once a poll.
ts_task<te_details_answer> r_dravstats_slot_details(ts_poll& poll, int i) {
  const auto slot = static_cast<std::size_t>(i);
  std::optional<te_details_answer>& answer = poll.ats_step[slot].o_details;
  if (!answer) {
    answer = co_await r_dravstats_ask_details(poll.ats_checked[slot], i);
  }
  co_return *answer;
}

// A name as the status list and the details can both be compared: the high bit of each byte
// cleared (some servers clear it in the status list only), colour codes and trailing blanks
// removed.
std::string r_dravstats_comparable_name(const char* name) {
  char low[TEXT_FIELD_SIZE];
  r_dravtools_varcpy(low, name);
  for (char* c = low; *c != '\0'; ++c) {
    *c = static_cast<char>(static_cast<unsigned char>(*c) & 0x7F);
  }
  char clean[TEXT_FIELD_SIZE];
  r_dravtools_remove_colors(clean, low);
  std::string text(clean);
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

// The "ip" line was read: a server drops it from the details of a player who renamed.
bool r_dravstats_details_have_address(const ts_dumpuser& info) {
  return info.ab_found[DUMPUSER_FOUND_IP] == 1 && info.ts_address.ip != 0;
}

// Details describe the player of a status line when they carry the line's address (if they
// carry one; the port left out, it can change under a running player) and the line's name.
bool r_dravstats_details_agree(const ts_dumpuser& info, const ts_status_line& line) {
  return (!r_dravstats_details_have_address(info) || info.ts_address.ip == line.ts_address.ip) &&
         r_dravstats_comparable_name(info.ac_name) == r_dravstats_comparable_name(line.ac_name);
}

// Details with another address than the line's show someone else in the slot.
bool r_dravstats_details_elsewhere(const ts_dumpuser& info, const ts_status_line& line) {
  return r_dravstats_details_have_address(info) && info.ts_address.ip != line.ts_address.ip;
}

// A live player of the reply in slot `i`, or null (free slot or zombie).
const ts_status_line* r_dravstats_live_line(const ts_status_reply& reply, int i) {
  const ts_status_line& line = reply.ats_line[static_cast<std::size_t>(i)];
  return reply.ab_present[static_cast<std::size_t>(i)] == 1 && line.b_zombie != 1 ? &line : nullptr;
}

// True when the reply's slot `i` would change the table: a player arrives, leaves, or is
// listed under another name or address. Scores, pings and the connecting state do not count.
bool r_dravstats_slot_moves(const ts_poll& poll, int i) {
  const ts_client& stored = gpts_status->ats_client[static_cast<std::size_t>(i)];
  const ts_status_line* line = r_dravstats_live_line(poll.ts_reply, i);
  if (line == nullptr || stored.b_active != 1) {
    return (line != nullptr) != (stored.b_active == 1);
  }
  return !r_dravstats_same_connection(*line, stored.ts_line, false) ||
         std::strcmp(line->ac_name, stored.ts_line.ac_name) != 0;
}

// Puts the stored player of slot `i` (or nobody) back into the reply.
void r_dravstats_restore_slot(ts_poll& poll, int i) {
  const auto slot = static_cast<std::size_t>(i);
  const ts_client& stored = gpts_status->ats_client[slot];
  poll.ts_reply.ab_present[slot] = stored.b_active == 1 ? 1 : 0;
  if (stored.b_active == 1) {
    poll.ts_reply.ats_line[slot] = stored.ts_line;
  }
}

// A stored player whom the last poll's details showed replaced in slot `i` by someone else is
// still gone while the reply lists that someone there, under a name not the stored player's.
bool r_dravstats_left_before(int i, const ts_status_line* line) {
  const ts_status_line& stored = gpts_status->ats_client[static_cast<std::size_t>(i)].ts_line;
  const std::uint64_t other_ip = go_tracker.ai_other_ip[static_cast<std::size_t>(i)];
  return other_ip != 0 && line != nullptr && line->ts_address.ip == other_ip &&
         r_dravstats_comparable_name(line->ac_name) != r_dravstats_comparable_name(stored.ac_name);
}

// Checks what the reply says about slot `i` with the slot's details: a departure is real when
// the server says the slot is empty or the details show someone else (now, or in an earlier
// poll that kept the player, when the reply lists someone else there), a new or changed line
// when the details agree with it. A line the details do not confirm is not taken, and a stored
// player they do not show gone stays (unconfirmed) until a later poll. Returns true when the
// reply's word was taken.
ts_task<bool> r_dravstats_check_slot(ts_poll& poll, int i) {
  const auto slot = static_cast<std::size_t>(i);
  const ts_client& stored = gpts_status->ats_client[slot];
  const ts_status_line* line = r_dravstats_live_line(poll.ts_reply, i);
  ts_slot_step& step = poll.ats_step[slot];
  const bool left_before = r_dravstats_left_before(i, line);
  const te_details_answer answer = co_await r_dravstats_slot_details(poll, i);
  const ts_dumpuser& info = poll.ats_checked[slot];
  const bool stored_here = stored.b_active == 1;
  const bool gone = answer == DETAILS_EMPTY ||
                    (answer == DETAILS_WHOLE &&
                     (!stored_here || r_dravstats_details_elsewhere(info, stored.ts_line))) ||
                    (answer == DETAILS_NONE && left_before);
  step.b_stored_gone = stored_here && gone;
  if (answer == DETAILS_WHOLE && line != nullptr && r_dravstats_details_agree(info, *line)) {
    step.b_checked = true;
    co_return true;
  }
  if (answer == DETAILS_WHOLE && stored_here && r_dravstats_details_agree(info, stored.ts_line)) {
    step.b_checked = true;  // still there as stored: confirmed, the line was not
  } else if (gone) {
    // The slot is free of the stored player (a player who moved to another slot is kept by
    // r_dravstats_keep_unplaced); a line the details did not confirm is not taken, and
    // someone else they show is taken when a reply lists them.
    const bool other_shown = answer == DETAILS_WHOLE && r_dravstats_details_have_address(info);
    step.i_other_ip = left_before ? go_tracker.ai_other_ip[slot]
                                  : (stored_here && other_shown ? info.ts_address.ip : 0);
    poll.ts_reply.ab_present[slot] = 0;
    co_return line == nullptr;
  } else {
    // The reply listed someone the details do not show, nor do they show the stored player
    // gone: the slot changed between the requests, or the line was damaged.
    step.b_kept = stored_here;
  }
  r_dravstats_restore_slot(poll, i);
  co_return false;
}

// A stored player kept unconfirmed in one slot whom the reply lists in another slot it took is
// in that other slot: kept as well, they would hold two.
void r_dravstats_drop_kept_twins(ts_poll& poll) {
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    const auto slot = static_cast<std::size_t>(i);
    if (!poll.ats_step[slot].b_kept) {
      continue;
    }
    for (int k = 0; k < MAX_CLIENTS; ++k) {
      const ts_status_line* other = r_dravstats_live_line(poll.ts_reply, k);
      if (k != i && other != nullptr && !poll.ats_step[static_cast<std::size_t>(k)].b_kept &&
          r_dravstats_same_connection(*other, poll.ts_reply.ats_line[slot], false)) {
        poll.ts_reply.ab_present[slot] = 0;
        poll.ats_step[slot].b_kept = false;
        break;
      }
    }
  }
}

// Past the last line of a list that lost its end the reply tells nothing: those slots stay as
// they were, unconfirmed. Returns the slot after the last line (all slots for a whole list).
int r_dravstats_keep_past_the_list(ts_poll& poll) {
  if (poll.ts_reply.b_complete == 1) {
    return MAX_CLIENTS;
  }
  int end = 0;
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    end = poll.ts_reply.ab_present[static_cast<std::size_t>(i)] == 1 ? i + 1 : end;
  }
  for (int i = end; i < MAX_CLIENTS; ++i) {
    r_dravstats_restore_slot(poll, i);
    poll.ats_step[static_cast<std::size_t>(i)].b_kept =
        gpts_status->ats_client[static_cast<std::size_t>(i)].b_active == 1;
  }
  return end;
}

// True when a live line of the reply is the stored player of slot `j`: in slot `j` (whatever
// the port) or in another slot.
bool r_dravstats_reply_lists(const ts_status_reply& reply, int j) {
  const ts_status_line& stored = gpts_status->ats_client[static_cast<std::size_t>(j)].ts_line;
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    const ts_status_line* line = r_dravstats_live_line(reply, i);
    if (line != nullptr && r_dravstats_same_connection(*line, stored, i == j)) {
      return true;
    }
  }
  return false;
}

// A player gone from their slot whom the reply as it came lists in another slot (where the
// details did not confirm them), or who may be listed in lines the reply lost, has moved rather
// than left: they keep their slot, unconfirmed, until a reply shows where they are, rather than
// being logged as gone and back. Keeping one takes their slot from whoever the reply listed
// there, who then keeps their own slot in turn: repeated until nobody is left unplaced.
void r_dravstats_keep_unplaced(ts_poll& poll, bool lost_lines) {
  bool kept_one = true;
  while (kept_one) {
    kept_one = false;
    for (int j = 0; j < MAX_CLIENTS; ++j) {
      const auto slot = static_cast<std::size_t>(j);
      if (gpts_status->ats_client[slot].b_active == 1 && !poll.ats_step[slot].b_absent &&
          !r_dravstats_reply_lists(poll.ts_reply, j) &&
          (lost_lines || r_dravstats_reply_lists(poll.ts_reply_again, j))) {
        r_dravstats_restore_slot(poll, j);
        ts_slot_step& step = poll.ats_step[slot];
        step = ts_slot_step{
            .b_kept = true, .i_other_ip = step.i_other_ip, .o_details = step.o_details};
        kept_one = true;
      }
    }
  }
}

// The slots whose lines the reply may have lost, or nothing when they cannot be told without
// the server's slot count. A lost datagram joins the start of one line to the end of a later
// one, and the lines between are gone without a trace: the loss shows as slots without a line
// after a line the details refuted, up to the next line. Those slots, the refuted lines' own
// (whose players a joined line hides) and the slots past the end of a list that lost it are
// returned; a reply that shows neither loss lost no line.
std::optional<std::vector<int>> r_dravstats_slots_of_lost_lines(
    const std::array<bool, MAX_CLIENTS>& listed, const std::array<bool, MAX_CLIENTS>& refuted,
    int end) {
  std::vector<int> slots;
  bool after_refuted = false;
  bool gap = end < MAX_CLIENTS;
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    const auto slot = static_cast<std::size_t>(i);
    gap = gap || (!listed[slot] && after_refuted && i < end);
    if (i >= end || refuted[slot] || (!listed[slot] && after_refuted)) {
      slots.push_back(i);
    }
    after_refuted = refuted[slot] || (after_refuted && !listed[slot]);
  }
  if (!gap) {
    return std::vector<int>{};
  }
  const int count = gpts_status->ts_serverinfo.i_maxclients;
  if (count <= 0 || count > MAX_CLIENTS) {
    return std::nullopt;
  }
  std::erase_if(slots, [count](int slot) { return slot >= count; });
  return slots;
}

// Whether details show someone who may be the player of `stored`: no answer, or someone of
// the same address or of none.
bool r_dravstats_may_show(te_details_answer answer, const ts_dumpuser& info,
                          const ts_status_line& stored) {
  return answer == DETAILS_NONE ||
         (answer == DETAILS_WHOLE && !r_dravstats_details_elsewhere(info, stored));
}

// Whether the stored player of slot `j` is in none of `slots`: the details of each were had
// and show nobody, or someone of another address. Their own slot is asked once more at the
// end: a player seen nowhere while they moved between the requests is back in it.
ts_task<bool> r_dravstats_absent_from(ts_poll& poll, int j, const std::vector<int>& slots) {
  const ts_status_line& stored = gpts_status->ats_client[static_cast<std::size_t>(j)].ts_line;
  for (const int k : slots) {
    const te_details_answer answer = co_await r_dravstats_slot_details(poll, k);
    if (r_dravstats_may_show(answer, poll.ats_checked[static_cast<std::size_t>(k)], stored)) {
      co_return false;
    }
  }
  ts_dumpuser own;
  const te_details_answer answer = co_await r_dravstats_ask_details(own, j);
  co_return !r_dravstats_may_show(answer, own, stored);
}

// A stored player whom the details showed gone from their slot and whom the reply lists nowhere
// may still be in a line the reply lost: the details of those lines' slots tell whether they
// left. Asked only when such a player and such lines meet, which a quiet server never shows.
ts_task<void> r_dravstats_find_the_absent(ts_poll& poll, const std::vector<int>& lost_slots) {
  for (int j = 0; j < MAX_CLIENTS; ++j) {
    ts_slot_step& step = poll.ats_step[static_cast<std::size_t>(j)];
    if (step.b_stored_gone && !r_dravstats_reply_lists(poll.ts_reply, j) &&
        !r_dravstats_reply_lists(poll.ts_reply_again, j)) {
      step.b_absent = co_await r_dravstats_absent_from(poll, j, lost_slots);
    }
  }
}

// Step of a poll whose status reply came in several datagrams. Such a reply may have lost one
// (joining the start of one player's line to the end of another's, and lacking the players in
// between), gained one of an earlier reply or had two swapped, the same way on every request
// of an unchanged table. So each slot it would change is checked with the slot's details.
// Returns true when every word of the reply was taken.
ts_task<bool> r_dravstats_check_reply(ts_poll& poll) {
  poll.ts_reply_again = poll.ts_reply;  // the reply as it came
  const int end = r_dravstats_keep_past_the_list(poll);
  // A marked player the reply lists as stored is confirmed by it: the kick need not wait for
  // the checks of other slots, during which the player may leave and someone else come.
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    const ts_client& stored = gpts_status->ats_client[static_cast<std::size_t>(i)];
    if (stored.b_active == 1 && stored.i_kick_reason != KICK_NONE &&
        !r_dravstats_slot_moves(poll, i) && !poll.ats_step[static_cast<std::size_t>(i)].b_kept) {
      r_dravstats_kick_slot(poll, i);
    }
  }
  std::array<bool, MAX_CLIENTS> listed = {};
  std::array<bool, MAX_CLIENTS> refuted = {};
  bool all_taken = end == MAX_CLIENTS;
  for (int i = 0; i < end; ++i) {
    const auto slot = static_cast<std::size_t>(i);
    listed[slot] = r_dravstats_live_line(poll.ts_reply, i) != nullptr;
    if (r_dravstats_slot_moves(poll, i) && !co_await r_dravstats_check_slot(poll, i)) {
      all_taken = false;
      refuted[slot] = listed[slot];
    }
  }
  r_dravstats_drop_kept_twins(poll);
  const std::optional<std::vector<int>> lost_slots =
      r_dravstats_slots_of_lost_lines(listed, refuted, end);
  if (lost_slots && !lost_slots->empty()) {
    co_await r_dravstats_find_the_absent(poll, *lost_slots);
  }
  r_dravstats_keep_unplaced(poll, !lost_slots || !lost_slots->empty());
  co_return all_taken;
}

void r_dravstats_continue_player(ts_poll& poll, int i, int j) {
  ts_client& next = poll.ats_next[i];
  ts_client& stored = gpts_status->ats_client[j];
  ts_slot_step& step = poll.ats_step[static_cast<std::size_t>(i)];
  const int interval = gpts_config->poll_interval_dumpuser;

  r_dravstats_carry_over(next, stored);
  if (step.b_kept) {
    return;
  }
  step.b_fresh = i != j || std::strcmp(next.ts_line.ac_name, stored.ts_line.ac_name) != 0;
  if (next.i_dumpuser_countdown > 0) {
    --next.i_dumpuser_countdown;
  }
  step.b_details_due = step.b_fresh || next.i_dumpuser_countdown < 0 ||
                       (interval >= 1 && next.i_dumpuser_countdown == 0);
  if (step.b_fresh) {
    r_dravlistip_add_ip_name(next.ts_line.ts_address.ip, next.ts_line.ac_name,
                             r_dravstats_hostnames_or_null(next));
    r_dravstats_tell_player(EVENT_CHANGE, next);
  }
}

void r_dravstats_add_new_player(ts_poll& poll, int i) {
  ts_client& next = poll.ats_next[i];
  ts_slot_step& step = poll.ats_step[static_cast<std::size_t>(i)];
  next.ts_info = ts_dumpuser{};
  next.i_access_level = 0;
  next.i_dumpuser_countdown = 0;
  next.i_kick_reason = KICK_NONE;
  // Looked up beside the poll: the slot gets the host names when the look-up ends.
  r_dravlistip_add_ip_name_look_up(next.ts_line.ts_address.ip, next.ts_line.ac_name);
  step.b_new = step.b_fresh = step.b_details_due = true;
  r_dravstats_decide_new_player(next);
}

void r_dravstats_handle_departure(ts_client& stored, std::time_t now) {
  ts_status& status = *gpts_status;
  if (stored.i_kick_reason == KICK_NONE) {
    r_dravstats_add_disconnected_list(stored, status.pts_disconnected, now);
  } else if (stored.i_kick_reason == KICK_ADMIN) {
    r_dravstats_add_disconnected_list(stored, status.pts_kicked, now);
  }
  r_dravstats_tell_player(EVENT_DISCONNECT, stored);
  if (stored.ts_line.b_connecting == 1 && stored.i_kick_reason == KICK_NONE &&
      gpts_config->say_connect_cancel > 0) {
    r_dravnet_say(gpts_config->console_color, "%c%c%s%c chickened out", r_dravstats_console_char(),
                  r_dravstats_player_char(), stored.ts_line.ac_name, r_dravstats_console_char());
  }
  stored.pc_hostnames.reset();
}

void r_dravstats_commit_next_table(ts_poll& poll) {
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    ts_client& stored = gpts_status->ats_client[i];
    ts_client& next = poll.ats_next[i];
    stored.b_active = next.b_active;
    if (next.b_active != 1) {
      continue;
    }
    stored.ts_line = next.ts_line;
    r_dravstats_carry_over(stored, next);
  }
}

// The kicks of the poll not sent yet. A slot kept unconfirmed may hold someone else by now.
void r_dravstats_send_kicks(ts_poll& poll) {
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    const ts_client& slot = gpts_status->ats_client[i];
    if (slot.b_active == 1 && slot.i_kick_reason != KICK_NONE &&
        !poll.ats_step[static_cast<std::size_t>(i)].b_kept) {
      r_dravstats_kick_slot(poll, i);
    }
  }
}

// The due details of the player in slot `i`: those the checks of the reply brought, else asked
// now. Details that do not agree with the slot's line belong to whoever took the slot since the
// reply and are not taken. A change of a known player's details is logged.
ts_task<void> r_dravstats_refresh_details(ts_poll& poll, int i, ts_dumpuser_budget& budget) {
  const auto index = static_cast<std::size_t>(i);
  ts_client& slot = gpts_status->ats_client[index];
  const ts_slot_step& step = poll.ats_step[index];
  ts_dumpuser& fresh = poll.ats_checked[index];
  const int interval = gpts_config->poll_interval_dumpuser;
  if (!step.b_checked && (co_await r_dravstats_ask_details(fresh, i) != DETAILS_WHOLE ||
                          !r_dravstats_details_agree(fresh, slot.ts_line))) {
    if (step.b_fresh) {
      slot.ts_info = ts_dumpuser{};
    }
    slot.i_dumpuser_countdown = -1;
    co_return;
  }
  if (step.b_new) {
    slot.i_dumpuser_countdown = interval;
  } else {
    ++budget.i_fetched;
    slot.i_dumpuser_countdown = budget.i_fetched > budget.i_per_poll ? interval - 1 : interval;
  }
  r_dravstats_keep_known_address(fresh, slot.ts_info);
  const bool changed =
      !step.b_fresh && r_dravstats_details_known(slot.ts_info) && !(fresh == slot.ts_info);
  slot.ts_info = fresh;
  if (changed) {
    r_dravlistip_add_ip_name(slot.ts_line.ts_address.ip, slot.ts_line.ac_name,
                             r_dravstats_hostnames_or_null(slot));
    r_dravstats_tell_player(EVENT_CHANGE, slot);
  }
}

// Step of a poll after the kicks, which must not wait for details.
ts_task<void> r_dravstats_fetch_due_details(ts_poll& poll, int present) {
  ts_dumpuser_budget budget;
  budget.i_per_poll = r_dravstats_details_per_poll(present);
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    if (gpts_status->ats_client[i].b_active == 1 &&
        poll.ats_step[static_cast<std::size_t>(i)].b_details_due) {
      co_await r_dravstats_refresh_details(poll, i, budget);
    }
  }
}

// Builds the next slot table from the reply, continues the stored players, adds the new ones
// and logs those who left. Returns how many players the reply lists.
int r_dravstats_track_players(ts_poll& poll, std::time_t now) {
  ts_status& status = *gpts_status;
  std::array<std::int32_t, MAX_CLIENTS> unmatched = {};
  int present = 0;
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    unmatched[i] = status.ats_client[i].b_active == 1 ? 1 : 0;
    ts_client& next = poll.ats_next[i];
    next.pc_hostnames.reset();
    // A zombie is a player the server already dropped: its line continues nobody, so the
    // stored slot stays unmatched and the player is logged as gone below.
    next.b_active = r_dravstats_live_line(poll.ts_reply, i) != nullptr ? 1 : 0;
    if (next.b_active == 1) {
      next.ts_line = poll.ts_reply.ats_line[i];
      ++present;
    }
  }

  const std::array<int, MAX_CLIENTS> match = r_dravstats_match_stored_players(poll);
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    if (poll.ats_next[i].b_active != 1) {
      continue;
    }
    const int j = match[i];
    if (j >= 0) {
      unmatched[j] = 0;
      r_dravstats_continue_player(poll, i, j);
    } else {
      r_dravstats_add_new_player(poll, i);
    }
  }

  for (int j = 0; j < MAX_CLIENTS; ++j) {
    if (unmatched[j] == 1) {
      r_dravstats_handle_departure(status.ats_client[j], now);
    }
  }
  return present;
}

// What one "status" brought. The usable answers last, the better one after the other.
enum te_status_answer : std::uint8_t {
  ANSWER_NONE,            // no reply at all
  ANSWER_REFUSED,         // the server refused the password
  ANSWER_NOT_UNDERSTOOD,  // a reply of a layout not known here
  ANSWER_CUT,             // a reply that lost its head, or was cut by the read or a bound
  ANSWER_PARTIAL,         // a player list not closed by its empty line
  ANSWER_USABLE,          // a whole player list
};

// Tells the server's state `kind`; `message` is the notice's text in the log pane.
void r_dravstats_tell_server(te_event_kind kind, const std::string& message) {
  ts_event event = r_dravevent_make(kind);
  event.ac_reason = message;
  r_dravevent_tell(event);
}

// The first line of a reply, as the notice shows it: control bytes made visible, cut so that
// the notice stays one line of the pane.
std::string r_dravstats_first_line(const std::string& text) {
  constexpr std::size_t SHOWN_BYTES = 40;
  std::string line = text.substr(0, std::min(text.find('\n'), SHOWN_BYTES));
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      c = '?';
    }
  }
  return line;
}

// Tells the server's state `kind` with `message` once, until `told` is reset by an accepted
// reply.
void r_dravstats_tell_once(bool& told, te_event_kind kind, const std::string& message) {
  if (!told) {
    told = true;
    r_dravstats_tell_server(kind, message);
  }
}

// What a status reply says, into `reply`; see r_dravstats_ask_status.
te_status_answer r_dravstats_read_status(const std::optional<ts_net_reply>& answer,
                                         ts_status_reply& reply, std::string& first_line,
                                         bool& single) {
  if (!answer) {
    // A wait cut short by a quit request tells nothing about the server: like a cut reply, it
    // skips the poll and counts toward nothing.
    return r_dravnet_quitting() ? ANSWER_CUT : ANSWER_NONE;
  }
  // A datagram cut by the read lost its end as surely as a lost one; a reply stopped at its
  // bound lost its end too (a server that floods blanks without end sends nothing else).
  if (answer->b_cut || answer->b_bounded) {
    return ANSWER_CUT;
  }
  const std::string& text = answer->o_text;
  if (text.starts_with(PASSWORD_REFUSED)) {
    // Nothing works without the password; the operator needs to know why.
    r_dravstats_tell_once(go_tracker.b_password_refused_told, EVENT_SERVER_PASSWORD_REFUSED,
                          std::string("Server Password   rejected (\"") + PASSWORD_REFUSED +
                              "\"): check net_server_rcon");
    return ANSWER_REFUSED;
  }
  if (r_dravstatsparse_parse_status(text.data(), text.size(), reply) != 1) {
    if (reply.b_header_cut == 1) {
      return ANSWER_CUT;
    }
    first_line = r_dravstats_first_line(text);
    return ANSWER_NOT_UNDERSTOOD;
  }
  go_tracker.b_password_refused_told = false;
  go_tracker.b_not_understood_told = false;
  // A list that is not closed by its empty line lost its end, or had another datagram joined
  // after it: checked slot by slot like a reply of several datagrams, up to where it stops.
  single = answer->i_datagrams == 1 && reply.b_complete == 1;
  return reply.b_complete == 1 ? ANSWER_USABLE : ANSWER_PARTIAL;
}

// One "status" into `reply`; the first line of a reply that was not understood into
// `first_line`; `single` tells whether it came whole in one datagram. The server's refusal of
// the password is told once until a reply is accepted.
ts_task<te_status_answer> r_dravstats_ask_status(ts_status_reply& reply, std::string& first_line,
                                                 bool& single) {
  const std::optional<ts_net_reply> answer =
      co_await ts_net_ask("status", STATUS_DATAGRAMS, NET_MAIN_SOCKET);
  co_return r_dravstats_read_status(answer, reply, first_line, single);
}

// The poll's status reply into its ts_reply. A reply that shows a datagram lost on the way (one
// that lost its first datagram is not understood) is asked for once more and the better one
// kept, so that a link losing a few datagrams rarely costs a poll; a silent or refusing server
// is asked once.
ts_task<te_status_answer> r_dravstats_fetch_status(ts_poll& poll, std::string& first_line,
                                                   bool& single) {
  te_status_answer answer = co_await r_dravstats_ask_status(poll.ts_reply, first_line, single);
  if (answer == ANSWER_CUT || answer == ANSWER_PARTIAL || answer == ANSWER_NOT_UNDERSTOOD) {
    bool again_single = false;
    std::string ignored;
    const te_status_answer again =
        co_await r_dravstats_ask_status(poll.ts_reply_again, ignored, again_single);
    if (again > answer) {
      poll.ts_reply = poll.ts_reply_again;
      single = again_single;
      answer = again;
    }
  }
  co_return answer;
}

// Tells a status reply not understood once (until a reply is accepted) when the poll before got
// one with the same first line: a server of a layout not known here sends it every time, while
// a reply that lost its first datagram on the way begins inside some client line.
void r_dravstats_note_not_understood(te_status_answer answer, const std::string& first_line) {
  if (answer == ANSWER_CUT) {
    return;  // counts toward nothing
  }
  if (answer != ANSWER_NOT_UNDERSTOOD) {
    go_tracker.pc_not_understood_line.reset();
    return;
  }
  if (go_tracker.pc_not_understood_line == first_line) {
    r_dravstats_tell_once(go_tracker.b_not_understood_told, EVENT_SERVER_NOT_UNDERSTOOD,
                          "Server Reply not understood: " + first_line);
  }
  go_tracker.pc_not_understood_line = first_line;
}

// Counts a poll without any status reply; the third in a row tells the operator (in the pane
// only: the log file records the players, not the link) since when the server is silent.
void r_dravstats_note_unanswered(std::time_t now) {
  if (go_tracker.i_unanswered_polls++ == 0) {
    go_tracker.t_unanswered_since = now;
    go_tracker.t_unanswered_wall = std::time(nullptr);
  }
  if (go_tracker.i_unanswered_polls == SILENT_POLLS) {
    go_tracker.b_silence_told = true;
    // The time stamp is "YYYY-MM-DD hh:mm:ss"; the day is in the notice's own stamp.
    const std::string stamp = r_dravtools_gettime(go_tracker.t_unanswered_wall);
    r_dravstats_tell_server(EVENT_SERVER_SILENT,
                            "Server Silent since " + stamp.substr(stamp.size() - 8));
  }
}

// Any reply but a cut one ends a silence; one that was told is told over.
void r_dravstats_note_answered(std::time_t now) {
  if (go_tracker.b_silence_told) {
    r_dravstats_tell_server(EVENT_SERVER_REPLYING,
                            "Server Replying again after " +
                                std::to_string(static_cast<long long>(
                                    std::difftime(now, go_tracker.t_unanswered_since))) +
                                " s");
  }
  go_tracker.i_unanswered_polls = 0;
  go_tracker.b_silence_told = false;
}

// Keeps what the header tells of the replies: a refusal at once, a layout not known here once
// it was told, and their end once a reply is accepted.
void r_dravstats_note_replies(te_status_answer answer) {
  if (answer >= ANSWER_PARTIAL) {
    go_tracker.te_replies = SERVER_ANSWERING;
  } else if (answer == ANSWER_REFUSED) {
    go_tracker.te_replies = SERVER_PASSWORD_REFUSED;
  } else if (answer == ANSWER_NOT_UNDERSTOOD && go_tracker.b_not_understood_told) {
    go_tracker.te_replies = SERVER_NOT_UNDERSTOOD;
  }
}

// Resets a record in place: a whole temporary state record (over a hundred kilobytes) would
// not fit comfortably on the stack.
template <typename Record>
void r_dravstats_reset(Record& record) {
  std::destroy_at(&record);
  std::construct_at(&record);
}

// Notes what the poll's status request brought; true when the poll goes on with the reply.
bool r_dravstats_note_status(te_status_answer answer, const std::string& first_line,
                             std::time_t now) {
  r_dravstats_note_not_understood(answer, first_line);
  r_dravstats_note_replies(answer);
  // Only a poll without any reply counts toward silence; a cut reply counts toward nothing.
  if (answer == ANSWER_NONE) {
    r_dravstats_note_unanswered(now);
  } else if (answer != ANSWER_CUT) {
    r_dravstats_note_answered(now);
  }
  return answer >= ANSWER_PARTIAL;
}

// One poll at `now`, step by step (see the top of this file). The steps own the poll's record.
// The result tells whether a status reply was taken.
ts_task<bool> r_dravstats_poll(std::time_t now) {
  ts_status& status = *gpts_status;
  const std::unique_ptr<ts_poll> record = std::make_unique<ts_poll>();
  ts_poll& poll = *record;
  r_dravstats_update_disconnected_list(status.pts_disconnected, now,
                                       gpts_config->access_reconnect_timeout);
  r_dravstats_update_disconnected_list(status.pts_kicked, now,
                                       gpts_config->access_kicked_reject_timeout);
  bool single = false;
  std::string first_line;
  const te_status_answer answer = co_await r_dravstats_fetch_status(poll, first_line, single);
  if (!r_dravstats_note_status(answer, first_line, now)) {
    co_return false;
  }
  // A reply of one datagram is exactly what the server printed and is taken as it is.
  const bool all_taken = single || co_await r_dravstats_check_reply(poll);
  for (std::size_t i = 0; i < go_tracker.ai_other_ip.size(); ++i) {
    go_tracker.ai_other_ip[i] = poll.ats_step[i].b_kept ? poll.ats_step[i].i_other_ip : 0;
  }

  co_await r_dravstats_poll_serverinfo(poll, now);
  const int present = r_dravstats_track_players(poll, now);
  r_dravstats_commit_next_table(poll);
  r_dravtools_varcpy(status.ac_map, poll.ts_reply.ac_map);
  r_dravtools_varcpy(status.ac_gametype, poll.ts_reply.ac_gametype);
  r_dravstats_send_kicks(poll);
  co_await r_dravstats_fetch_due_details(poll, present);
  if (all_taken) {
    go_tracker.b_first_poll = 0;
  }
  r_dravevent_tell(r_dravevent_make(EVENT_POLL_DONE));
  // The poll ends when the kicks and announcements it queued last were taken by the server.
  (void)co_await r_dravnet_all_sent();
  co_return true;
}

}  // namespace

void r_dravstats_init(const ts_config& config, ts_status& status) {
  gpts_config = &config;
  gpts_status = &status;
  r_dravstats_reset(status);
  go_poll = ts_task<bool>{};
  go_tracker = ts_tracker_state{};
  r_dravlistip_set_looked_up_function(r_dravstats_looked_up);
}

void r_dravstats_finish() {
  r_dravlistip_set_looked_up_function(nullptr);
  if (gpts_status != nullptr) {
    r_dravstats_reset(*gpts_status);
  }
  // A poll cut short by the end of the program takes its waiting command along.
  go_poll = ts_task<bool>{};
  go_tracker = ts_tracker_state{};
  gpts_config = nullptr;
  gpts_status = nullptr;
}

std::time_t r_dravstats_clock() {
  const auto since_start = std::chrono::steady_clock::now().time_since_epoch();
  // Never 0, which marks "not yet" in the state record.
  return static_cast<std::time_t>(
             std::chrono::duration_cast<std::chrono::seconds>(since_start).count()) +
         1;
}

std::int64_t r_dravstats_ms_to_next_second() {
  const auto since_start = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return 1000 - since_start.count() % 1000;
}

int r_dravstats_run() {
  // The wall clock may be set back by hours; intervals are measured on a clock that is not.
  const std::time_t now = r_dravstats_clock();
  if (r_dravstats_polling() ||
      (gpts_status->t_last_status != 0 &&
       std::difftime(now, gpts_status->t_last_status) <
           static_cast<double>(gpts_config->poll_interval_status))) {
    return 0;
  }
  gpts_status->t_last_status = now;
  if (r_dravloop_running()) {
    go_poll = r_dravstats_poll(now);
    go_poll.start();
  } else {
    r_dravstats_update(now);
  }
  return 1;
}

bool r_dravstats_polling() {
  return go_poll && !go_poll.done();
}

void r_dravstats_update(std::time_t now) {
  (void)r_dravloop_complete(r_dravstats_poll(now));
}

ts_server_state r_dravstats_server_state() {
  if (go_tracker.b_silence_told) {
    return {SERVER_SILENT, go_tracker.t_unanswered_since};
  }
  return {go_tracker.te_replies, 0};
}

void r_dravstats_forget_departed(ts_status& status, std::uint64_t ip) {
  status.pts_disconnected.remove_if(
      [ip](const ts_disconnected& entry) { return entry.ts_address.ip == ip; });
}

int r_dravstats_do_dumpuser(ts_dumpuser& info, int client) {
  return r_dravloop_complete(r_dravstats_ask_details(info, client)) == DETAILS_WHOLE ? 1 : 0;
}
