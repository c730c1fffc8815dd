#include "drav_eventfile.h"

#include <cerrno>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string_view>

#include "drav_event.h"
#include "drav_ip.h"
#include "drav_log.h"
#include "drav_tools.h"

namespace {

constexpr char LOG_LABEL[] = "Events ";

struct ts_event_file {
  std::string pc_path;
  ts_file_descriptor o_file;
  // The failure was told; the events since that did not reach the file.
  bool b_failing = false;
  std::size_t i_missing = 0;
};

ts_event_file go_events;

std::string r_draveventfile_hex(std::string_view bytes) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    hex += DIGITS[byte >> 4U];
    hex += DIGITS[byte & 0x0FU];
  }
  return hex;
}

// Opens the file when it is not open yet; the outcome of the open.
ts_append_outcome r_draveventfile_open() {
  if (!go_events.o_file) {
    go_events.o_file = r_dravtools_open_append(go_events.pc_path.c_str());
    if (!go_events.o_file) {
      return {APPEND_OPEN_FAILED, errno, 0};
    }
  }
  return {};
}

// Tells the first failure of a stretch, and the end of the stretch.
void r_draveventfile_tell(const ts_append_outcome& outcome) {
  const char* path = go_events.pc_path.c_str();
  if (outcome.te_result == APPEND_OK) {
    if (go_events.b_failing) {
      r_dravlog_warn("%sFile %s written again: %zu events are missing from it\n", LOG_LABEL, path,
                     go_events.i_missing);
    }
    go_events.b_failing = false;
    go_events.i_missing = 0;
    return;
  }
  ++go_events.i_missing;
  if (!go_events.b_failing) {
    go_events.b_failing = true;
    r_dravlog_warn("%s%s: the monitor goes on; events are missing from it\n", LOG_LABEL,
                   r_dravtools_append_failure(path, outcome).c_str());
  }
}

void r_draveventfile_hear(const ts_event& event) {
  ts_append_outcome outcome = r_draveventfile_open();
  if (outcome.te_result == APPEND_OK) {
    outcome =
        r_dravtools_append_descriptor(go_events.o_file.get(), r_draveventfile_json(event) + "\n");
  }
  r_draveventfile_tell(outcome);
}

}  // namespace

void r_draveventfile_init(const char* path) {
  r_draveventfile_finish();
  if (path[0] == '\0') {
    return;
  }
  go_events.pc_path = path;
  r_draveventfile_tell(r_draveventfile_open());
  go_events.i_missing = 0;  // no event was told yet
  r_dravevent_add_listener(r_draveventfile_hear);
}

void r_draveventfile_finish() {
  r_dravevent_remove_listener(r_draveventfile_hear);
  go_events = ts_event_file{};
}

std::string r_draveventfile_json(const ts_event& event) {
  nlohmann::ordered_json json;
  json["time"] = r_dravtools_gettime(event.t_time);
  json["kind"] = r_dravevent_kind_name(event.te_kind);
  if (event.i_slot >= 0) {
    json["slot"] = event.i_slot;
  }
  if (event.i_ip != 0) {
    json["address"] = r_dravip_ip_to_text(event.i_ip).c_str();
  }
  if (event.i_port >= 0) {
    json["port"] = event.i_port;
  }
  if (event.i_qport >= 0) {
    json["qport"] = event.i_qport;
  }
  if (!event.ac_name.empty()) {
    json["name"] = event.ac_name_text;
    json["name_hex"] = r_draveventfile_hex(event.ac_name);
  }
  if (event.i_access_level >= 0) {
    json["access_level"] = event.i_access_level;
  }
  if (!event.ac_host_names.empty()) {
    json["host_names"] = event.ac_host_names;
  }
  if (!event.ac_reason.empty()) {
    json["reason"] = event.ac_reason;
  }
  // Host names and reply texts come from the network: bytes that are no UTF-8 are replaced
  // rather than refused.
  return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}
