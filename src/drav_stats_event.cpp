#include "drav_stats_event.h"

#include "drav_access.h"
#include "drav_stats.h"
#include "drav_statsparse.h"

void r_dravstats_tell_player(te_event_kind kind, const ts_client& slot, std::string_view reason) {
  const ts_status_line& line = slot.ts_line;
  ts_event event = r_dravevent_make(kind);
  event.i_slot = line.i_num;
  event.i_ip = static_cast<std::uint32_t>(line.ts_address.ip);
  event.i_port = line.ts_address.port;
  event.i_qport = line.i_qport;
  r_dravevent_set_name(event, line.ac_name);
  event.i_access_level = kind == EVENT_REJECT ? -1 : slot.i_access_level;
  event.ac_host_names = slot.pc_hostnames.value_or("");
  event.ac_reason = reason;
  r_dravevent_tell(event);
}

void r_dravstats_admin_kick(ts_client& slot) {
  slot.i_kick_reason = KICK_ADMIN;
  r_dravstats_tell_player(EVENT_ADMIN_KICK, slot);
}

void r_dravstats_admin_ban(ts_status& status, ts_client& slot) {
  constexpr char REASON[] = "Client banned by admin";
  r_dravaccess_block_ip(slot.ts_line.ts_address.ip, slot.ts_line.ac_name, REASON);
  r_dravstats_forget_departed(status, slot.ts_line.ts_address.ip);
  slot.i_kick_reason = KICK_ADMIN_BAN;
  r_dravstats_tell_player(EVENT_ADMIN_BAN, slot, REASON);
}

void r_dravstats_admin_ban_ip(ts_status& status, std::uint64_t ip) {
  constexpr char REASON[] = "IP banned by admin";
  r_dravaccess_block_ip(ip, nullptr, REASON);
  r_dravstats_forget_departed(status, ip);
  ts_event event = r_dravevent_make(EVENT_ADMIN_BAN);
  event.i_ip = static_cast<std::uint32_t>(ip);
  event.i_access_level = 0;
  event.ac_reason = REASON;
  r_dravevent_tell(event);
  for (ts_client& slot : status.ats_client) {
    if (slot.b_active == 1 && slot.ts_line.ts_address.ip == ip) {
      slot.i_kick_reason = KICK_ADMIN_BAN;
      r_dravstats_tell_player(EVENT_ADMIN_BAN, slot, REASON);
    }
  }
}
