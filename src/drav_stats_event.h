// Layer 4 (tracker): calls layers 1 to 3.
// The events of players made from the state record, and the operator's commands on players
// and addresses, each told as one event.
#pragma once

#include <cstdint>
#include <string_view>

#include "drav_event.h"

struct ts_client;
struct ts_status;

/// Tells event `kind` of the player in `slot`: client number, address, port, qport, name,
/// access level (not for a Reject, which comes before the access list is asked), host names
/// and `reason`.
void r_dravstats_tell_player(te_event_kind kind, const ts_client& slot,
                             std::string_view reason = {});
/// The operator's kick of the player in `slot`: the next poll kicks them and their return
/// within access_kicked_reject_timeout is rejected. Told as EVENT_ADMIN_KICK.
void r_dravstats_admin_kick(ts_client& slot);
/// The operator's ban of the player in `slot`: their address goes to the access list with
/// level 0, their recent departures are forgotten and the next poll kicks them. Told as
/// EVENT_ADMIN_BAN.
void r_dravstats_admin_ban(ts_status& status, ts_client& slot);
/// The operator's ban of address `ip` from the IP list, told as EVENT_ADMIN_BAN without a
/// slot, then the ban of every player of the address on the server, each told as well.
void r_dravstats_admin_ban_ip(ts_status& status, std::uint64_t ip);
