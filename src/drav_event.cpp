#include "drav_event.h"

#include <algorithm>
#include <array>
#include <vector>

#include "drav_tools.h"

namespace {

constexpr std::array<const char*, EVENT_KIND_COUNT> gpac_kind_names = {
    "connect",
    "disconnect",
    "change",
    "reconnect",
    "block",
    "reject",
    "admin_kick",
    "admin_ban",
    "server_change",
    "server_silent",
    "server_replying",
    "server_not_understood",
    "server_password_refused",
    "host_names",
    "written_late",
    "poll_done",
};

std::vector<ts_event_listener> gapf_listeners;

}  // namespace

const char* r_dravevent_kind_name(te_event_kind kind) {
  return kind < EVENT_KIND_COUNT ? gpac_kind_names[kind] : "unknown";
}

ts_event r_dravevent_make(te_event_kind kind) {
  ts_event event;
  event.te_kind = kind;
  event.t_time = std::time(nullptr);
  return event;
}

void r_dravevent_set_name(ts_event& event, std::string_view name) {
  event.ac_name = name;
  event.ac_name_text = r_dravtools_shown_text(name);
}

void r_dravevent_add_listener(ts_event_listener listener) {
  if (std::ranges::find(gapf_listeners, listener) == gapf_listeners.end()) {
    gapf_listeners.push_back(listener);
  }
}

void r_dravevent_remove_listener(ts_event_listener listener) {
  std::erase(gapf_listeners, listener);
}

void r_dravevent_tell(const ts_event& event) {
  // A copy: a listener may add or remove listeners while it is told.
  const std::vector<ts_event_listener> listeners = gapf_listeners;
  for (const ts_event_listener listener : listeners) {
    listener(event);
  }
}
