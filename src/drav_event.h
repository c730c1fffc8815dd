// Layer 2 (configuration and log): beside the log, calls layer 1 only.
// The monitor's events as one record each, and the one list of listeners that hears them all:
// the log (its file and the pane), the screen's redraw and the event file listen here, so that
// the modules that make events need nothing above them.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

/// What happened. The first eight are the player events of the log, in its order.
enum te_event_kind : std::uint8_t {
  EVENT_CONNECT = 0,
  EVENT_DISCONNECT,
  EVENT_CHANGE,
  EVENT_RECONNECT,
  EVENT_BLOCK,
  EVENT_REJECT,
  EVENT_ADMIN_KICK,
  EVENT_ADMIN_BAN,                // from the player table, or of an address from the IP list
  EVENT_SERVER_CHANGE,            // the server's settings changed; the name is the map's
  EVENT_SERVER_SILENT,            // three polls in a row without any reply
  EVENT_SERVER_REPLYING,          // the first reply after a silence that was told
  EVENT_SERVER_NOT_UNDERSTOOD,    // replies of a layout not known here
  EVENT_SERVER_PASSWORD_REFUSED,  // the server refuses the remote console password
  EVENT_HOST_NAMES,               // the reverse look-up of a player's address ended
  EVENT_WRITTEN_LATE,             // entries that waited for a failing file were written
  EVENT_POLL_DONE,                // a poll took the server's player list
  EVENT_KIND_COUNT
};

/// One event. Fields that do not apply to the kind keep their "none" values.
struct ts_event {
  te_event_kind te_kind = EVENT_POLL_DONE;
  std::time_t t_time = 0;            // the wall clock when it happened
  std::int32_t i_slot = -1;          // the player's client number; -1: none
  std::uint32_t i_ip = 0;            // the player's address; 0: none
  std::int32_t i_port = -1;          // -1: none
  std::int32_t i_qport = -1;         // -1: none
  std::string ac_name;               // the name as the server sent it (game text)
  std::string ac_name_text;          // the same as the screen shows it, UTF-8
  std::int32_t i_access_level = -1;  // -1: not decided
  std::string ac_host_names;         // "name;alias;..." from the reverse look-up
  std::string ac_reason;             // comment of the access list, or what a notice says
};

/// The short lowercase name of `kind`, as the event file writes it ("connect", "poll_done").
const char* r_dravevent_kind_name(te_event_kind kind);
/// A record of `kind` stamped with the wall clock now, every other field at "none".
ts_event r_dravevent_make(te_event_kind kind);
/// Sets the name as the server sent it and its shown text.
void r_dravevent_set_name(ts_event& event, std::string_view name);
/// Hears every event told.
using ts_event_listener = void (*)(const ts_event& event);
/// Adds `listener` after those already listening; one already listening stays where it is.
void r_dravevent_add_listener(ts_event_listener listener);
/// Removes `listener`; one that does not listen is no error.
void r_dravevent_remove_listener(ts_event_listener listener);
/// Tells `event` to every listener in the order they were added. Listeners added or removed
/// by a listener take effect from the next event on.
void r_dravevent_tell(const ts_event& event);
