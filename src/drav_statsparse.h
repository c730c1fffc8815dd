// Layer 3 (link, parsers, access list, IP history): calls layer 1 only.
// The server state record and the parsers of the "status", "dumpuser" and
// "serverinfo" replies.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <forward_list>
#include <optional>
#include <string>

#include "drav_ip.h"
#include "drav_tools.h"

/// Player slots of a server; the index is the client number. Servers run with up to 256.
inline constexpr int MAX_CLIENTS = 256;

/// Kick reasons of a slot.
enum te_kick_reason : std::int32_t {
  KICK_NONE = 0,
  KICK_BLOCKED = 1,
  KICK_REJECTED = 2,
  KICK_ADMIN = 4,
  KICK_ADMIN_BAN = 5,
};

/// One player line of the status reply.
struct ts_status_line {
  std::int32_t i_num = 0;
  std::int32_t i_score = 0;
  std::int32_t i_ping = 0;
  char ac_name[TEXT_FIELD_SIZE] = {};        // as the server prints it, colour codes kept
  char ac_name_clean[TEXT_FIELD_SIZE] = {};  // without colour codes
  std::int32_t i_lastmsg = 0;
  ts_ip_port ts_address = {};
  std::int32_t i_qport = 0;
  std::int32_t b_connecting = 0;  // ping column read "CNCT"
  std::int32_t b_zombie = 0;      // ping column read "ZMBI"
  bool operator==(const ts_status_line&) const = default;
};

/// A player's details from "dumpuser %d".
struct ts_dumpuser {
  std::int32_t i_predicting = 0;
  std::int32_t i_spectator = 0;
  std::int32_t i_cl_violence = 0;
  std::int32_t i_team_red_blue = 0;
  std::int32_t i_allow_download_models = 0;
  char ac_teamname[TEXT_FIELD_SIZE] = {};
  char ac_skin[TEXT_FIELD_SIZE] = {};
  std::int32_t i_rate = 0;
  std::int32_t i_msg = 0;
  char ac_bestweap[TEXT_FIELD_SIZE] = {};
  std::int32_t i_fov = 0;
  char ac_name[TEXT_FIELD_SIZE] = {};
  ts_ip_port ts_address = {};
  char ac_password[TEXT_FIELD_SIZE] = {};
  char ac_spectator_password[TEXT_FIELD_SIZE] = {};
  char ac_name_clean[TEXT_FIELD_SIZE] = {};
  std::array<std::int32_t, 15> ab_found = {};
  bool operator==(const ts_dumpuser&) const = default;
};

/// The server settings from "serverinfo".
struct ts_serverinfo {
  char ac_mapname[TEXT_FIELD_SIZE] = {};
  std::int32_t i_pickupinfo = 0;
  char ac_gamedate[TEXT_FIELD_SIZE] = {};
  char ac_gamename[TEXT_FIELD_SIZE] = {};
  std::int32_t i_maxspectators = 0;
  std::int32_t i_weaponarena = 0;
  std::int32_t i_deathmatch = 0;
  std::int32_t i_protocol = 0;
  std::int32_t i_cheats = 0;
  std::int32_t i_skill = 0;
  std::int32_t i_sv_violence = 0;
  char ac_version[TEXT_FIELD_SIZE] = {};
  std::int32_t i_fraglimit = 0;
  std::int32_t i_timelimit = 0;
  std::int32_t i_sv_suicidepenalty = 0;
  std::int32_t i_g_movescale = 0;
  std::int32_t i_ctf_loops = 0;
  std::int32_t i_control_limit = 0;
  std::int32_t i_control_bonus = 0;
  char ac_hostname[TEXT_FIELD_SIZE] = {};
  std::int32_t i_maxclients = 0;
  std::int32_t i_dmflags = 0;
  char ac_user[TEXT_FIELD_SIZE] = {};
  std::array<std::int32_t, 23> ab_found = {};
  bool operator==(const ts_serverinfo&) const = default;
};

/// The found flag of the "ip" line in ts_dumpuser::ab_found.
inline constexpr std::size_t DUMPUSER_FOUND_IP = 12;

/// One player slot of the state record.
struct ts_client {
  ts_status_line ts_line;
  ts_dumpuser ts_info;
  std::int32_t i_access_level = 0;
  std::int32_t i_dumpuser_countdown = 0;
  std::optional<std::string> pc_hostnames;  // "name;alias;..." or nothing; owned by the slot
  std::int32_t i_kick_reason = KICK_NONE;
  std::int32_t b_active = 0;
};

/// A player who left recently.
struct ts_disconnected {
  ts_ip_port ts_address = {};
  std::int32_t i_qport = 0;
  std::time_t t_time = 0;
};

/// Everything known about the server. One instance, owned by main.
struct ts_status {
  ::ts_serverinfo ts_serverinfo;
  char ac_map[TEXT_FIELD_SIZE] = {};
  char ac_gametype[TEXT_FIELD_SIZE] = {};
  std::uint64_t i_hostname_length = 0;
  std::array<ts_client, MAX_CLIENTS> ats_client;
  std::forward_list<ts_disconnected> pts_disconnected;  // newest first
  std::forward_list<ts_disconnected> pts_kicked;        // newest first
  std::time_t t_last_status = 0;
  std::time_t t_last_serverinfo = 0;
};

/// The parsed status reply.
struct ts_status_reply {
  std::array<ts_status_line, MAX_CLIENTS> ats_line;
  std::array<std::int32_t, MAX_CLIENTS> ab_present = {};
  char ac_map[TEXT_FIELD_SIZE] = {};
  char ac_gametype[TEXT_FIELD_SIZE] = {};
  /// 1 when the client list ended with the empty line that the server prints last and nothing
  /// followed it; a reply without it was cut short (a datagram lost, or the wait ended too
  /// early), one with text after it had datagrams of another reply joined to it.
  std::int32_t b_complete = 0;
  /// 1 when the reply ended inside its header while every line it had fitted a layout: a reply
  /// cut short, not one of a layout this parser does not know.
  std::int32_t b_header_cut = 0;
};

/// Parses a status reply of `length` bytes (not necessarily terminated). Returns 1 when its
/// header has one of the two layouts ("Map", "Gametype", an empty line and the columns; or
/// "map" and the columns), else 0 (then no client is present; `b_header_cut` tells a reply
/// cut inside its header). Client lines with a number outside 0..255 are skipped;
/// `b_complete` tells whether the list was closed by its empty line.
int r_dravstatsparse_parse_status(const char* text, std::size_t length, ts_status_reply& reply);
/// Parses a dumpuser reply into `info` (reset first). Returns 1 when the reply is whole: it
/// begins with the "userinfo" and dash lines, holds the "name" line and ends with a line feed
/// (the "ip" line, plain or in brackets, may be missing); else 0 (a reply cut on the way, or
/// the server's line for an empty slot), with what could be read left in `info`.
int r_dravstatsparse_parse_dumpuser(const char* text, std::size_t length, ts_dumpuser& info);
/// Parses a serverinfo reply into `info` (reset first), with or without an empty line before
/// it. Returns 1 when the "Server info settings:" line was seen and the reply ends with a line feed
/// (it was not cut inside a line), else 0.
int r_dravstatsparse_parse_serverinfo(const char* text, std::size_t length, ts_serverinfo& info);
