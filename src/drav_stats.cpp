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

#include "drav_access.h"
#include "drav_config.h"
#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_log.h"
#include "drav_net.h"
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
  // 1 from start (and from every init) until the first poll that reaches its end: players
  // already on the server when monitoring starts are never blocked.
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
};

ts_tracker_state go_tracker;

// Scratch storage of one poll. Each is as large as the slot table of the state record, too
// large for the stack, and nothing of it is kept from one poll to the next.
ts_status_reply gts_reply;
ts_status_reply gts_reply_again;
std::array<ts_client, MAX_CLIENTS> gats_next;
ts_serverinfo gts_serverinfo;
ts_serverinfo gts_serverinfo_again;
// The slots of this poll whose stored player was kept because the two status replies
// disagreed on them: nothing about such a player is asked or compared until a poll confirms it.
std::array<bool, MAX_CLIENTS> gab_unconfirmed = {};

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
    r_dravlog_log_player(LOG_REJECT, line);
    if (gpts_config->say_connect_reject_kicked == 1) {
      r_dravnet_say(gpts_config->console_color, "%cRejected: %c%s%c", r_dravstats_console_char(),
                    r_dravstats_player_char(), line.ac_name, r_dravstats_console_char());
    }
    return;
  }
  char comment[TEXT_FIELD_SIZE] = {};
  if (r_dravstats_list_holds(gpts_status->pts_disconnected, line)) {
    slot.i_access_level = r_dravaccess_get_access_level(line.ts_address.ip, comment);
    r_dravlog_log_player(LOG_RECONNECT, line);
    return;
  }
  slot.i_access_level = r_dravaccess_get_access_level(line.ts_address.ip, comment);
  if (slot.i_access_level < gpts_config->access_level && go_tracker.b_first_poll != 1) {
    slot.i_kick_reason = KICK_BLOCKED;
    r_dravlog_log_player(LOG_BLOCK, line);
    if (gpts_config->say_connect_block > 0) {
      r_dravstats_say_with_comment("Blocked", gpts_config->say_connect_block, line, comment);
    }
    return;
  }
  r_dravlog_log_player(LOG_CONNECT, line);
  if (line.b_connecting == 1 && gpts_config->say_connect_incoming > 0) {
    r_dravstats_say_with_comment("Incoming", gpts_config->say_connect_incoming, line, comment);
  }
}

// Host names are chosen by whoever runs the reverse zone of a player's address. The joined
// text is cut at a whole name at this length, so that its history line (with a name of at
// most 512 bytes) stays far within 2047 bytes, the longest line that readers of the history
// file format can be sure to take whole.
constexpr std::size_t HOSTNAMES_MAX = 1024;

// A host name as it may be stored: a byte that would end a line in a file (line feed,
// carriage return), any other control byte, and the ";" that separates the names become "?".
std::string r_dravstats_clean_hostname(std::string_view name) {
  std::string clean(name);
  for (char& c : clean) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == ';') {
      c = '?';
    }
  }
  return clean;
}

// The official name, then every alias, joined by ";" and cut before the first name that
// would pass HOSTNAMES_MAX; nothing when the resolver knows no name for the address or the
// text would be empty.
std::optional<std::string> r_dravstats_look_up_hostnames(std::uint64_t ip) {
  const std::optional<ts_hostent> host =
      r_dravip_get_hostnames(static_cast<std::uint32_t>(ip & 0xFFFFFFFFull));
  if (!host) {
    return std::nullopt;
  }
  try {
    std::string joined;
    if (host->pc_name.size() <= HOSTNAMES_MAX) {
      joined = r_dravstats_clean_hostname(host->pc_name);
      for (const std::string& alias : host->apc_aliases) {
        if (joined.size() + 1 + alias.size() > HOSTNAMES_MAX) {
          break;
        }
        joined += ';';
        joined += r_dravstats_clean_hostname(alias);
      }
    }
    if (joined.empty()) {
      return std::nullopt;
    }
    return joined;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

const char* r_dravstats_hostnames_or_null(const ts_client& slot) {
  return slot.pc_hostnames ? slot.pc_hostnames->c_str() : nullptr;
}

// One "serverinfo" into `info`; true when the reply was whole.
bool r_dravstats_ask_serverinfo(ts_serverinfo& info) {
  info = ts_serverinfo{};
  const std::optional<std::string> reply = r_dravnet_send_command("serverinfo", 1, NET_MAIN_SOCKET);
  return reply && r_dravstatsparse_parse_serverinfo(reply->data(), reply->size(), info) == 1;
}

// The settings into `info`. A reply cut between two lines looks whole, so settings that differ
// from `known` are taken only when a second reply says the same.
bool r_dravstats_fetch_serverinfo(ts_serverinfo& info, const ts_serverinfo& known) {
  if (!r_dravstats_ask_serverinfo(info)) {
    return false;
  }
  if (info == known) {
    return true;
  }
  return r_dravstats_ask_serverinfo(gts_serverinfo_again) && gts_serverinfo_again == info;
}

// Step of a poll: asks for the settings when the map or game type changed, when none were
// accepted yet or when they are due, and logs a server change when they differ.
void r_dravstats_poll_serverinfo(std::time_t now) {
  ts_status& status = *gpts_status;
  const int interval = gpts_config->poll_interval_serverinfo;
  const bool ask = std::strcmp(gts_reply.ac_map, status.ac_map) != 0 ||
                   std::strcmp(gts_reply.ac_gametype, status.ac_gametype) != 0 ||
                   status.t_last_serverinfo == 0 ||
                   (interval >= 1 &&
                    std::difftime(now, status.t_last_serverinfo) >= static_cast<double>(interval));
  if (!ask) {
    return;
  }
  status.t_last_serverinfo = 0;
  if (r_dravstats_fetch_serverinfo(gts_serverinfo, status.ts_serverinfo)) {
    status.t_last_serverinfo = now;
    if (!(gts_serverinfo == status.ts_serverinfo)) {
      if (std::strcmp(gts_serverinfo.ac_hostname, status.ts_serverinfo.ac_hostname) != 0) {
        char clean[TEXT_FIELD_SIZE];
        r_dravtools_remove_colors(clean, gts_serverinfo.ac_hostname);
        status.i_hostname_length = std::strlen(clean);
      }
      status.ts_serverinfo = gts_serverinfo;
      r_dravlog_log_server(status.ts_serverinfo.ac_mapname);
    }
  }
  status.b_serverinfo_updated = 1;
}

bool r_dravstats_holds_player(int j, const ts_status_line& line) {
  const ts_client& stored = gpts_status->ats_client[j];
  return stored.b_active == 1 &&
         r_dravstats_same_player(stored.ts_line, line.ts_address, line.i_qport);
}

// For every line of the reply the stored slot of the same player, or -1 for a newcomer.
// Each stored slot continues at most one line: a server that lists one address, port and
// qport twice must not make two slots own one player's host-name text. The slot of the
// line's own number is preferred, so that such twins keep their slots from poll to poll;
// otherwise the lowest unclaimed slot is taken. With distinct players this is simply the
// first stored slot of the same player.
std::array<int, MAX_CLIENTS> r_dravstats_match_stored_players() {
  std::array<int, MAX_CLIENTS> match;
  match.fill(-1);
  std::array<bool, MAX_CLIENTS> claimed = {};
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    const ts_client& next = gats_next[i];
    if (next.b_active == 1 && r_dravstats_holds_player(i, next.ts_line)) {
      match[i] = i;
      claimed[i] = true;
    }
  }
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    const ts_client& next = gats_next[i];
    if (next.b_active != 1 || match[i] >= 0) {
      continue;
    }
    for (int j = 0; j < MAX_CLIENTS; ++j) {
      if (!claimed[j] && r_dravstats_holds_player(j, next.ts_line)) {
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

// The details of client `client` into `info`. A reply cut between two lines looks whole, so
// details that differ from `known` are taken only when a second reply says the same; a new
// player's details (nothing known) are always asked twice. Cleared when not obtained.
bool r_dravstats_fetch_details(ts_dumpuser& info, int client, const ts_dumpuser& known) {
  if (r_dravstats_do_dumpuser(info, client) != 1) {
    return false;
  }
  r_dravstats_keep_known_address(info, known);
  if (info == known) {
    return true;
  }
  ts_dumpuser again;
  if (r_dravstats_do_dumpuser(again, client) == 1 &&
      (r_dravstats_keep_known_address(again, known), again == info)) {
    return true;
  }
  info = ts_dumpuser{};
  return false;
}

// Details never obtained are empty: a whole reply always sets the found flags of its lines.
bool r_dravstats_details_known(const ts_dumpuser& info) {
  return !(info == ts_dumpuser{});
}

void r_dravstats_continue_player(int i, int j, ts_dumpuser_budget& budget) {
  ts_client& next = gats_next[i];
  ts_client& stored = gpts_status->ats_client[j];
  const int interval = gpts_config->poll_interval_dumpuser;

  r_dravstats_carry_over(next, stored);
  if (gab_unconfirmed[static_cast<std::size_t>(i)]) {
    return;
  }

  const bool changed = i != j || std::strcmp(next.ts_line.ac_name, stored.ts_line.ac_name) != 0;
  if (next.i_dumpuser_countdown > 0) {
    --next.i_dumpuser_countdown;
  }
  const bool fetch =
      changed || next.i_dumpuser_countdown < 0 || (interval >= 1 && next.i_dumpuser_countdown == 0);
  if (!fetch) {
    return;
  }
  // Details are compared only between two whole replies: not after a reply that was cut or
  // said the slot is empty, and not against details that were never obtained.
  bool details_changed = false;
  if (r_dravstats_fetch_details(next.ts_info, i, stored.ts_info)) {
    ++budget.i_fetched;
    next.i_dumpuser_countdown = budget.i_fetched > budget.i_per_poll ? interval - 1 : interval;
    details_changed =
        r_dravstats_details_known(stored.ts_info) && !(next.ts_info == stored.ts_info);
  } else {
    // After a change of name or number the stored details describe someone else's state.
    next.ts_info = changed ? ts_dumpuser{} : stored.ts_info;
    next.i_dumpuser_countdown = -1;
  }
  if (changed || details_changed) {
    r_dravlistip_add_ip_name(next.ts_line.ts_address.ip, next.ts_line.ac_name,
                             r_dravstats_hostnames_or_null(next));
    r_dravlog_log_player(LOG_CHANGE, next.ts_line);
  }
}

void r_dravstats_add_new_player(int i) {
  ts_client& next = gats_next[i];
  next.i_access_level = 0;
  next.i_dumpuser_countdown = 0;
  next.pc_hostnames.reset();
  next.i_kick_reason = KICK_NONE;

  next.pc_hostnames = r_dravstats_look_up_hostnames(next.ts_line.ts_address.ip);
  r_dravlistip_add_ip_name(next.ts_line.ts_address.ip, next.ts_line.ac_name,
                           r_dravstats_hostnames_or_null(next));
  next.i_dumpuser_countdown = r_dravstats_fetch_details(next.ts_info, i, ts_dumpuser{})
                                  ? gpts_config->poll_interval_dumpuser
                                  : -1;
  r_dravstats_decide_new_player(next);
}

void r_dravstats_handle_departure(ts_client& stored, std::time_t now) {
  ts_status& status = *gpts_status;
  if (stored.i_kick_reason == KICK_NONE) {
    r_dravstats_add_disconnected_list(stored, status.pts_disconnected, now);
  } else if (stored.i_kick_reason == KICK_ADMIN) {
    r_dravstats_add_disconnected_list(stored, status.pts_kicked, now);
  }
  r_dravlog_log_player(LOG_DISCONNECT, stored.ts_line);
  if (stored.ts_line.b_connecting == 1 && stored.i_kick_reason == KICK_NONE &&
      gpts_config->say_connect_cancel > 0) {
    r_dravnet_say(gpts_config->console_color, "%c%c%s%c chickened out", r_dravstats_console_char(),
                  r_dravstats_player_char(), stored.ts_line.ac_name, r_dravstats_console_char());
  }
  stored.pc_hostnames.reset();
}

void r_dravstats_commit_next_table() {
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    ts_client& stored = gpts_status->ats_client[i];
    ts_client& next = gats_next[i];
    stored.b_active = next.b_active;
    if (next.b_active != 1) {
      continue;
    }
    stored.ts_line = next.ts_line;
    r_dravstats_carry_over(stored, next);
  }
}

// Repeated on every poll for as long as the server lists a kicked player.
void r_dravstats_send_kicks() {
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    const ts_client& slot = gpts_status->ats_client[i];
    if (slot.b_active == 1 && slot.i_kick_reason != KICK_NONE) {
      // The reply says nothing the tracker acts on.
      (void)r_dravnet_send_command("kick " + std::to_string(i), 1, NET_MAIN_SOCKET);
    }
  }
}

// What one "status" brought.
enum te_status_answer : int {
  ANSWER_USABLE,          // a whole player list
  ANSWER_NONE,            // no reply at all
  ANSWER_CUT,             // a reply that lost its end
  ANSWER_REFUSED,         // the server refused the password
  ANSWER_NOT_UNDERSTOOD,  // a reply of a layout not known here
};

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

// Tells the operator `message` once, until `told` is reset by an accepted reply.
void r_dravstats_tell_once(bool& told, const std::string& message) {
  if (!told) {
    told = true;
    r_dravlog_notice("%s\n", message.c_str());
  }
}

// One "status" into `reply`; the first line of a reply that was not understood into
// `first_line`. The server's refusal of the password is told once until a reply is accepted.
te_status_answer r_dravstats_ask_status(ts_status_reply& reply, std::string& first_line) {
  bool b_bounded = false;
  const std::optional<std::string> text =
      r_dravnet_send_command("status", STATUS_DATAGRAMS, NET_MAIN_SOCKET, &b_bounded);
  if (!text) {
    // A wait cut short by a quit request tells nothing about the server: like a cut reply, it
    // skips the poll and counts toward nothing.
    return r_dravnet_quitting() ? ANSWER_CUT : ANSWER_NONE;
  }
  // A reply stopped at its bound lost its end, like one cut on the way (a server that floods
  // blanks without end sends nothing else).
  if (b_bounded) {
    return ANSWER_CUT;
  }
  if (text->starts_with(PASSWORD_REFUSED)) {
    // Nothing works without the password; the operator needs to know why.
    r_dravstats_tell_once(go_tracker.b_password_refused_told,
                          std::string("Server Password   rejected (\"") + PASSWORD_REFUSED +
                              "\"): check net_server_rcon");
    return ANSWER_REFUSED;
  }
  if (r_dravstatsparse_parse_status(text->data(), text->size(), reply) != 1) {
    if (reply.b_header_cut == 1) {
      return ANSWER_CUT;
    }
    first_line = r_dravstats_first_line(*text);
    return ANSWER_NOT_UNDERSTOOD;
  }
  // A list that is not closed by its empty line lost its end: whoever was listed there must
  // not be taken for gone, so the poll is skipped.
  if (reply.b_complete != 1) {
    return ANSWER_CUT;
  }
  go_tracker.b_password_refused_told = false;
  go_tracker.b_not_understood_told = false;
  return ANSWER_USABLE;
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
    r_dravstats_tell_once(go_tracker.b_not_understood_told,
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
    r_dravlog_notice("Server Silent since %s\n", stamp.substr(stamp.size() - 8).c_str());
  }
}

// Any reply but a cut one ends a silence; one that was told is told over.
void r_dravstats_note_answered(std::time_t now) {
  if (go_tracker.b_silence_told) {
    r_dravlog_notice("Server Replying again after %lld s\n",
                     static_cast<long long>(std::difftime(now, go_tracker.t_unanswered_since)));
  }
  go_tracker.i_unanswered_polls = 0;
  go_tracker.b_silence_told = false;
}

// Keeps what the header tells of the replies: a refusal at once, a layout not known here once
// it was told, and their end once a reply is accepted.
void r_dravstats_note_replies(te_status_answer answer) {
  if (answer == ANSWER_USABLE) {
    go_tracker.te_replies = SERVER_ANSWERING;
  } else if (answer == ANSWER_REFUSED) {
    go_tracker.te_replies = SERVER_PASSWORD_REFUSED;
  } else if (answer == ANSWER_NOT_UNDERSTOOD && go_tracker.b_not_understood_told) {
    go_tracker.te_replies = SERVER_NOT_UNDERSTOOD;
  }
}

// A live player of the reply in slot `i`, or null (free slot or zombie).
const ts_status_line* r_dravstats_live_line(const ts_status_reply& reply, int i) {
  const ts_status_line& line = reply.ats_line[static_cast<std::size_t>(i)];
  return reply.ab_present[static_cast<std::size_t>(i)] == 1 && line.b_zombie != 1 ? &line : nullptr;
}

// The same connection under the same name in the same slot.
bool r_dravstats_same_listing(const ts_status_line& a, const ts_status_line& b) {
  return r_dravstats_same_player(a, b.ts_address, b.i_qport) &&
         std::strcmp(a.ac_name, b.ac_name) == 0;
}

// True when the reply would log anything: a slot taken, freed or taken by someone else, or a
// name changed. Scores, pings and the connecting state do not count.
bool r_dravstats_reply_moves_anyone(const ts_status_reply& reply) {
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    const ts_client& stored = gpts_status->ats_client[static_cast<std::size_t>(i)];
    const ts_status_line* line = r_dravstats_live_line(reply, i);
    if ((line != nullptr) != (stored.b_active == 1)) {
      return true;
    }
    if (line != nullptr && !r_dravstats_same_listing(*line, stored.ts_line)) {
      return true;
    }
  }
  return false;
}

// The slot of an agreed live line of the same connection as `line`, or -1.
int r_dravstats_agreed_slot(const ts_status_reply& reply, const std::array<bool, MAX_CLIENTS>& sure,
                            const ts_status_line& line) {
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    const ts_status_line* other = r_dravstats_live_line(reply, i);
    if (sure[static_cast<std::size_t>(i)] && other != nullptr &&
        r_dravstats_same_player(*other, line.ts_address, line.i_qport)) {
      return i;
    }
  }
  return -1;
}

// True when any live line of the reply is the same connection as `line`.
bool r_dravstats_lists_player(const ts_status_reply& reply, const ts_status_line& line) {
  std::array<bool, MAX_CLIENTS> every;
  every.fill(true);
  return r_dravstats_agreed_slot(reply, every, line) >= 0;
}

// The slots on which both replies say the same: free (or a zombie) in both, or the same
// connection under the same name.
std::array<bool, MAX_CLIENTS> r_dravstats_sure_slots(const ts_status_reply& first,
                                                     const ts_status_reply& second) {
  std::array<bool, MAX_CLIENTS> sure = {};
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    const ts_status_line* a = r_dravstats_live_line(first, i);
    const ts_status_line* b = r_dravstats_live_line(second, i);
    sure[static_cast<std::size_t>(i)] =
        (a == nullptr && b == nullptr) ||
        (a != nullptr && b != nullptr && r_dravstats_same_listing(*a, *b));
  }
  return sure;
}

// Leaves in `first` what both replies say, with the second reply's scores and pings. A slot
// they disagree on keeps its stored player, unless both replies list that player elsewhere;
// such a slot tells nothing new this poll and is looked at again on the next. Returns false
// when the replies leave a stored player's whereabouts open (its slot agreed to hold someone
// else or nobody, while one reply still lists the player): then nothing of the poll is used.
bool r_dravstats_keep_agreed(ts_status_reply& first, const ts_status_reply& second) {
  const std::array<bool, MAX_CLIENTS> sure = r_dravstats_sure_slots(first, second);
  std::array<bool, MAX_CLIENTS>& keep_stored = gab_unconfirmed;
  for (int j = 0; j < MAX_CLIENTS; ++j) {
    const auto slot = static_cast<std::size_t>(j);
    const ts_client& stored = gpts_status->ats_client[slot];
    if (stored.b_active != 1 || r_dravstats_agreed_slot(second, sure, stored.ts_line) >= 0) {
      continue;
    }
    if (!sure[slot]) {
      keep_stored[slot] = true;
    } else if (r_dravstats_lists_player(first, stored.ts_line) ||
               r_dravstats_lists_player(second, stored.ts_line)) {
      return false;
    }
  }
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    const auto slot = static_cast<std::size_t>(i);
    const bool agreed_live = sure[slot] && r_dravstats_live_line(second, i) != nullptr;
    first.ab_present[slot] = agreed_live || keep_stored[slot] ? 1 : 0;
    if (agreed_live) {
      first.ats_line[slot] = second.ats_line[slot];
    } else if (keep_stored[slot]) {
      first.ats_line[slot] = gpts_status->ats_client[slot].ts_line;
    }
  }
  r_dravtools_varcpy(first.ac_map, second.ac_map);
  r_dravtools_varcpy(first.ac_gametype, second.ac_gametype);
  return true;
}

// Builds the next slot table from the reply, continues the stored players, adds the new ones
// and logs those who left.
void r_dravstats_track_players(std::time_t now) {
  ts_status& status = *gpts_status;
  std::array<std::int32_t, MAX_CLIENTS> unmatched = {};
  int present = 0;
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    unmatched[i] = status.ats_client[i].b_active == 1 ? 1 : 0;
    ts_client& next = gats_next[i];
    next.pc_hostnames.reset();
    // A zombie is a player the server already dropped: its line continues nobody, so the
    // stored slot stays unmatched and the player is logged as gone below.
    next.b_active = r_dravstats_live_line(gts_reply, i) != nullptr ? 1 : 0;
    if (next.b_active == 1) {
      next.ts_line = gts_reply.ats_line[i];
      ++present;
    }
  }

  ts_dumpuser_budget budget;
  budget.i_per_poll = r_dravstats_details_per_poll(present);
  const std::array<int, MAX_CLIENTS> match = r_dravstats_match_stored_players();
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    if (gats_next[i].b_active != 1) {
      continue;
    }
    const int j = match[i];
    if (j >= 0) {
      unmatched[j] = 0;
      r_dravstats_continue_player(i, j, budget);
    } else {
      r_dravstats_add_new_player(i);
    }
  }

  for (int j = 0; j < MAX_CLIENTS; ++j) {
    if (unmatched[j] == 1) {
      r_dravstats_handle_departure(status.ats_client[j], now);
    }
  }
}

// Resets a record in place: a whole temporary state record (over a hundred kilobytes) would
// not fit comfortably on the stack.
template <typename Record>
void r_dravstats_reset(Record& record) {
  std::destroy_at(&record);
  std::construct_at(&record);
}

}  // namespace

void r_dravstats_init(const ts_config& config, ts_status& status) {
  gpts_config = &config;
  gpts_status = &status;
  r_dravstats_reset(status);
  r_dravstats_reset(gats_next);
  go_tracker = ts_tracker_state{};
}

void r_dravstats_finish() {
  if (gpts_status != nullptr) {
    r_dravstats_reset(*gpts_status);
  }
  r_dravstats_reset(gats_next);
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

int r_dravstats_run() {
  // The wall clock may be set back by hours; intervals are measured on a clock that is not.
  const std::time_t now = r_dravstats_clock();
  if (gpts_status->t_last_status != 0 &&
      std::difftime(now, gpts_status->t_last_status) <
          static_cast<double>(gpts_config->poll_interval_status)) {
    return 0;
  }
  r_dravstats_update(now);
  gpts_status->t_last_status = now;
  return 1;
}

void r_dravstats_update(std::time_t now) {
  ts_status& status = *gpts_status;

  r_dravstats_update_disconnected_list(status.pts_disconnected, now,
                                       gpts_config->access_reconnect_timeout);
  r_dravstats_update_disconnected_list(status.pts_kicked, now,
                                       gpts_config->access_kicked_reject_timeout);

  gab_unconfirmed.fill(false);
  std::string first_line;
  const te_status_answer answer = r_dravstats_ask_status(gts_reply, first_line);
  r_dravstats_note_not_understood(answer, first_line);
  r_dravstats_note_replies(answer);
  // Only a poll without any reply counts toward silence; a cut reply counts toward nothing.
  if (answer == ANSWER_NONE) {
    r_dravstats_note_unanswered(now);
  } else if (answer != ANSWER_CUT) {
    r_dravstats_note_answered(now);
  }
  if (answer != ANSWER_USABLE) {
    return;
  }
  // A reply that lost a datagram on the way can join the start of one player's line to the
  // end of another's, or lack players. Nothing it alone says is acted on: whenever it would
  // change who is where, a second reply is asked for and only what both say is taken.
  if (r_dravstats_reply_moves_anyone(gts_reply)) {
    std::string ignored;
    if (r_dravstats_ask_status(gts_reply_again, ignored) != ANSWER_USABLE ||
        !r_dravstats_keep_agreed(gts_reply, gts_reply_again)) {
      return;
    }
  }
  status.b_status_updated = 1;

  r_dravstats_poll_serverinfo(now);
  r_dravstats_track_players(now);
  r_dravstats_commit_next_table();
  r_dravtools_varcpy(status.ac_map, gts_reply.ac_map);
  r_dravtools_varcpy(status.ac_gametype, gts_reply.ac_gametype);
  r_dravstats_send_kicks();
  go_tracker.b_first_poll = 0;
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
  info = ts_dumpuser{};
  const std::optional<std::string> reply =
      r_dravnet_send_command("dumpuser " + std::to_string(client), 1, client);
  if (!reply) {
    return 0;
  }
  if (r_dravstatsparse_parse_dumpuser(reply->data(), reply->size(), info) != 1) {
    // Part of a reply is no details: nothing of it may be compared or shown.
    info = ts_dumpuser{};
    return 0;
  }
  return 1;
}
