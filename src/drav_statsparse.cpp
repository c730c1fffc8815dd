// Parsers of the three replies that a poll reads: "status" (a fixed-width
// player table), "serverinfo" and "dumpuser %d" (key/value lines read through
// the key-table tokeniser). Every byte comes from the network, so each parser
// works on a private terminated copy and never trusts a column to exist.
#include "drav_statsparse.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

namespace {

using namespace std::string_view_literals;

// ---------------------------------------------------------------------------
// Private copy of a reply, read line by line

/// The reply as a C text: it ends at `length` or at the first NUL, whichever comes first.
std::string r_dravstatsparse_private_copy(const char* text, std::size_t length) {
  if (text == nullptr) {
    return {};
  }
  return std::string(text, strnlen(text, length));
}

/// Hands out the lines of a private copy. Only a line followed by "\n" counts: a reply
/// cut short by the network must not yield a half line. Each line handed out is
/// terminated in place, so it is also a C text.
class ts_line_reader {
 public:
  ts_line_reader(std::string& copy, std::size_t start)
      : o_copy(copy), i_pos(std::min(start, copy.size())) {}

  /// True when every byte of the copy was handed out.
  bool at_end() const { return i_pos >= o_copy.size(); }
  /// What is not handed out yet.
  std::string_view rest() const { return std::string_view(o_copy).substr(i_pos); }

  std::optional<std::string_view> next() {
    const std::size_t end = o_copy.find('\n', i_pos);
    if (end == std::string::npos) {
      i_pos = o_copy.size();
      return std::nullopt;
    }
    o_copy[end] = '\0';
    const std::string_view line(o_copy.data() + i_pos, end - i_pos);
    i_pos = end + 1;
    return line;
  }

 private:
  std::string& o_copy;
  std::size_t i_pos;
};

/// The bounded copy of r_dravtools_varcpy for a column, which is not terminated: at most
/// 512 bytes, the rest of the field NUL so that whole records compare equal.
void r_dravstatsparse_copy_column(char* field, std::string_view column) {
  const std::size_t count = std::min(column.size(), TEXT_FIELD_MAX);
  std::memcpy(field, column.data(), count);
  std::memset(field + count, 0, TEXT_FIELD_SIZE - count);
}

// ---------------------------------------------------------------------------
// Status reply

// The layout with the game type: "Map", "Gametype", an empty line, then the columns. The
// plain layout has only a lower-case "map" line before the columns.
constexpr std::string_view MAP_PREFIX = "Map              : "sv;
constexpr std::string_view GAMETYPE_PREFIX = "Gametype         : "sv;
constexpr std::string_view PLAIN_MAP_PREFIX = "map              : "sv;
constexpr std::string_view COLUMN_HEADER =
    "num score ping name            lastmsg address               qport "sv;
constexpr std::string_view DASH_LINE =
    "--- ----- ---- --------------- ------- --------------------- ------"sv;
static_assert(MAP_PREFIX.size() == 19 && GAMETYPE_PREFIX.size() == 19 &&
              PLAIN_MAP_PREFIX.size() == 19);
static_assert(COLUMN_HEADER.size() == 67 && DASH_LINE.size() == 67);

// Columns of a client line. The name column grows with the name, so everything after
// it is located from the end of the line: the last TAIL_WIDTH bytes hold lastmsg,
// address and qport.
constexpr std::size_t MIN_CLIENT_LINE = 66;
constexpr std::size_t NUM_COLUMN = 0, NUM_WIDTH = 3;
constexpr std::size_t SCORE_COLUMN = 4, SCORE_WIDTH = 5;
constexpr std::size_t PING_COLUMN = 10, PING_WIDTH = 4;
constexpr std::size_t NAME_COLUMN = 15;
constexpr std::size_t TAIL_WIDTH = 35;
constexpr std::size_t LASTMSG_OFFSET = 0, LASTMSG_WIDTH = 7;
constexpr std::size_t ADDRESS_OFFSET = 8, ADDRESS_WIDTH = 21;
constexpr std::size_t QPORT_OFFSET = 30;
static_assert(MIN_CLIENT_LINE - TAIL_WIDTH - NAME_COLUMN == 16);
static_assert(QPORT_OFFSET < TAIL_WIDTH);

constexpr std::string_view PING_CONNECTING = "CNCT"sv;
constexpr std::string_view PING_ZOMBIE = "ZMBI"sv;
// A client on the server's own machine is listed without address.
constexpr std::string_view LOOPBACK_ADDRESS = "loopback"sv;

/// strtol base 10 on the column alone: a copy keeps the conversion from running into the
/// next column. Leading blanks are skipped; a column without digits gives 0.
std::int32_t r_dravstatsparse_column_int(std::string_view line, std::size_t column,
                                         std::size_t width) {
  std::array<char, 16> buffer = {};
  const std::string_view digits = line.substr(column, std::min(width, buffer.size() - 1));
  std::memcpy(buffer.data(), digits.data(), digits.size());
  // Columns are at most 7 bytes wide, so the value always fits in 32 bits.
  return static_cast<std::int32_t>(std::strtol(buffer.data(), nullptr, 10));
}

/// An address as servers write it: "loopback", a dotted address with its port, or the same in
/// brackets ("[192.0.2.7]:27901"); anything after a blank is not part of it.
ts_ip_port r_dravstatsparse_address(std::string_view text) {
  text = text.substr(0, text.find(' '));
  if (text == LOOPBACK_ADDRESS) {
    return r_dravip_string_to_ip_port("127.0.0.1");
  }
  std::string unbracketed(text.substr(0, TEXT_FIELD_MAX));
  if (unbracketed.starts_with('[')) {
    const std::size_t close = unbracketed.find(']');
    if (close == std::string::npos) {
      return {};
    }
    unbracketed.erase(close, 1);
    unbracketed.erase(0, 1);
  }
  return r_dravip_string_to_ip_port(unbracketed.c_str());
}

/// The ping field: its value, 0 for the connecting and zombie texts, which are noted.
void r_dravstatsparse_read_ping(std::string_view ping, ts_status_line& parsed) {
  parsed.b_connecting = ping == PING_CONNECTING ? 1 : 0;
  parsed.b_zombie = ping == PING_ZOMBIE ? 1 : 0;
  parsed.i_ping = r_dravstatsparse_column_int(ping, 0, PING_WIDTH);
  if (parsed.b_connecting != 0) {
    // A connecting player has no score yet, whatever the column holds.
    parsed.i_score = 0;
  }
}

/// Parses one client line of at least MIN_CLIENT_LINE bytes into `parsed`, which the
/// caller value-initialised.
void r_dravstatsparse_parse_client_line(std::string_view line, ts_status_line& parsed) {
  parsed.i_num = r_dravstatsparse_column_int(line, NUM_COLUMN, NUM_WIDTH);
  parsed.i_score = r_dravstatsparse_column_int(line, SCORE_COLUMN, SCORE_WIDTH);
  r_dravstatsparse_read_ping(line.substr(PING_COLUMN, PING_WIDTH), parsed);

  const std::size_t tail = line.size() - TAIL_WIDTH;
  std::string_view name = line.substr(NAME_COLUMN, tail - NAME_COLUMN).substr(0, TEXT_FIELD_MAX);
  while (!name.empty() && name.back() == ' ') {
    name.remove_suffix(1);
  }
  r_dravstatsparse_copy_column(parsed.ac_name, name);
  r_dravtools_remove_colors(parsed.ac_name_clean, parsed.ac_name);

  parsed.i_lastmsg = r_dravstatsparse_column_int(line, tail + LASTMSG_OFFSET, LASTMSG_WIDTH);
  parsed.ts_address = r_dravstatsparse_address(line.substr(tail + ADDRESS_OFFSET, ADDRESS_WIDTH));
  parsed.i_qport =
      r_dravstatsparse_column_int(line, tail + QPORT_OFFSET, TAIL_WIDTH - QPORT_OFFSET);
}

/// The next blank-separated field of `line` from `pos` on (blanks before it skipped); `pos`
/// moves past it. Empty when the line has no further field.
std::string_view r_dravstatsparse_next_field(std::string_view line, std::size_t& pos) {
  const std::size_t start = std::min(line.find_first_not_of(' ', pos), line.size());
  pos = std::min(line.find(' ', start), line.size());
  return line.substr(start, pos - start);
}

/// The field of `line` that ends before `end` (blanks after it skipped); `end` moves to its
/// first byte. Empty when there is none.
std::string_view r_dravstatsparse_previous_field(std::string_view line, std::size_t& end) {
  const std::size_t last =
      end == 0 ? std::string_view::npos : line.substr(0, end).find_last_not_of(' ');
  if (last == std::string_view::npos) {
    end = 0;
    return {};
  }
  const std::size_t before = line.substr(0, last).find_last_of(' ');
  end = before == std::string_view::npos ? 0 : before + 1;
  return line.substr(end, last + 1 - end);
}

/// The value of a field that holds only digits (at most 9, so it fits in 32 bits), after a
/// minus sign for a negative score.
std::optional<std::int32_t> r_dravstatsparse_field_int(std::string_view field) {
  const std::string_view digits = field.starts_with('-') ? field.substr(1) : field;
  if (digits.empty() || digits.size() > 9 ||
      digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  return r_dravstatsparse_column_int(field, 0, field.size());
}

/// Parses a client line of the plain layouts, which do not keep to the header's columns (a
/// two-column number, an address of up to 23 characters): number, score and ping are the
/// first three fields, lastmsg, address and qport the last three, and the name is what lies
/// between, after the one blank that follows the ping. False for any other line.
bool r_dravstatsparse_parse_field_line(std::string_view line, ts_status_line& parsed) {
  std::size_t pos = 0;
  const auto num = r_dravstatsparse_field_int(r_dravstatsparse_next_field(line, pos));
  const auto score = r_dravstatsparse_field_int(r_dravstatsparse_next_field(line, pos));
  const std::string_view ping = r_dravstatsparse_next_field(line, pos);
  const std::size_t name_start = pos + 1;
  std::size_t end = line.size();
  const auto qport = r_dravstatsparse_field_int(r_dravstatsparse_previous_field(line, end));
  const std::string_view address = r_dravstatsparse_previous_field(line, end);
  const auto lastmsg = r_dravstatsparse_field_int(r_dravstatsparse_previous_field(line, end));
  if (!num || !score || ping.empty() || !qport || address.empty() || !lastmsg || end < name_start) {
    return false;
  }
  parsed.i_num = *num;
  parsed.i_score = *score;
  r_dravstatsparse_read_ping(ping, parsed);
  std::string_view name = line.substr(name_start, end - name_start).substr(0, TEXT_FIELD_MAX);
  while (!name.empty() && name.back() == ' ') {
    name.remove_suffix(1);
  }
  r_dravstatsparse_copy_column(parsed.ac_name, name);
  r_dravtools_remove_colors(parsed.ac_name_clean, parsed.ac_name);
  parsed.i_lastmsg = *lastmsg;
  parsed.ts_address = r_dravstatsparse_address(address);
  parsed.i_qport = *qport;
  return true;
}

/// How the header of a status reply ended: a layout's column list follows, the reply ended
/// inside the header (every line it had fit a layout), or a line fits no layout.
enum te_status_header : int { HEADER_READ, HEADER_CUT, HEADER_UNKNOWN };

/// Takes the next line into `line` and tells whether it begins with `prefix`. A reply that
/// ends without a further line feed was cut: half a line tells no layout.
te_status_header r_dravstatsparse_expect(ts_line_reader& lines, std::string_view prefix,
                                         std::string_view& line) {
  const auto next = lines.next();
  if (!next) {
    return HEADER_CUT;
  }
  line = *next;
  return line.starts_with(prefix) ? HEADER_READ : HEADER_UNKNOWN;
}

/// Reads the header lines of either layout; fills map and game type (none in the plain
/// layout) and tells whether the client lines are in the plain layouts.
te_status_header r_dravstatsparse_read_status_header(ts_line_reader& lines, ts_status_reply& reply,
                                                     bool& b_plain) {
  // The first letter tells the layouts apart: "map" begins the plain ones, "Map" the other.
  b_plain = lines.rest().starts_with(PLAIN_MAP_PREFIX.substr(0, 1));
  std::string_view line;
  te_status_header state =
      r_dravstatsparse_expect(lines, b_plain ? PLAIN_MAP_PREFIX : MAP_PREFIX, line);
  if (state != HEADER_READ) {
    return state;
  }
  // The line is terminated in place, so its rest is a C text.
  r_dravtools_varcpy(reply.ac_map, line.data() + MAP_PREFIX.size());
  if (!b_plain) {
    state = r_dravstatsparse_expect(lines, GAMETYPE_PREFIX, line);
    if (state != HEADER_READ) {
      return state;
    }
    r_dravtools_varcpy(reply.ac_gametype, line.data() + GAMETYPE_PREFIX.size());
    state = r_dravstatsparse_expect(lines, {}, line);
    if (state != HEADER_READ || !line.empty()) {
      return state == HEADER_READ ? HEADER_UNKNOWN : state;
    }
  }
  state = r_dravstatsparse_expect(lines, COLUMN_HEADER, line);
  return state != HEADER_READ ? state : r_dravstatsparse_expect(lines, DASH_LINE, line);
}

// ---------------------------------------------------------------------------
// Key tables of the serverinfo and dumpuser replies

/// Values of both replies begin in this column; keys are padded with blanks to it.
constexpr std::size_t KEY_COLUMN_WIDTH = 20;

/// A key text with static storage, built at compile time.
struct ts_key_text {
  std::array<char, 32> ac_text = {};
  const char* c_str() const { return ac_text.data(); }
};

/// The key padded with blanks to the value column.
consteval ts_key_text r_dravstatsparse_padded(std::string_view key) {
  ts_key_text result;
  if (key.size() > KEY_COLUMN_WIDTH) {
    throw "key wider than the key column";  // stops the compilation
  }
  std::size_t i = 0;
  for (; i < key.size(); ++i) {
    result.ac_text[i] = key[i];
  }
  for (; i < KEY_COLUMN_WIDTH; ++i) {
    result.ac_text[i] = ' ';
  }
  return result;
}

/// A key taken as it is, for the few lines that are not in the key column layout.
consteval ts_key_text r_dravstatsparse_exact(std::string_view key) {
  ts_key_text result;
  if (key.size() >= result.ac_text.size()) {
    throw "key too long";  // stops the compilation
  }
  for (std::size_t i = 0; i < key.size(); ++i) {
    result.ac_text[i] = key[i];
  }
  return result;
}

/// The found flag of a row: an index into the record's ab_found, none, or the parser's own.
constexpr int FOUND_NONE = -1;
constexpr int FOUND_LOCAL = -2;

/// One row of a key table, described against the record type; a text row without a
/// record field writes into the parser's own text.
template <typename Record>
struct ts_key_row {
  ts_key_text ts_key;
  te_parse_type te_type = PARSE_MARKER;
  char (Record::*pac_text)[TEXT_FIELD_SIZE] = nullptr;
  std::int32_t Record::*pi_int = nullptr;
  int i_found = FOUND_NONE;
};

/// The tokeniser table of `rows` pointing into `record`, ended by a null key.
template <typename Record, std::size_t N>
std::array<ts_parse_entry, N + 1> r_dravstatsparse_build_table(
    const std::array<ts_key_row<Record>, N>& rows, Record& record, char* pac_local_text,
    std::int32_t* pb_local_found) {
  std::array<ts_parse_entry, N + 1> table = {};
  for (std::size_t i = 0; i < N; ++i) {
    const ts_key_row<Record>& row = rows[i];
    ts_parse_entry& entry = table[i];
    entry.te_type = row.te_type;
    entry.pc_key = row.ts_key.c_str();
    if (row.te_type == PARSE_TEXT) {
      entry.pac_text = row.pac_text != nullptr ? record.*row.pac_text : pac_local_text;
    } else if (row.te_type == PARSE_INT) {
      entry.pi_int = &(record.*row.pi_int);
    }
    if (row.i_found >= 0) {
      entry.pb_found = &record.ab_found.at(static_cast<std::size_t>(row.i_found));
    } else if (row.i_found == FOUND_LOCAL) {
      entry.pb_found = pb_local_found;
    }
  }
  table[N] = ts_parse_entry{PARSE_MARKER, nullptr, nullptr, nullptr, nullptr};
  return table;
}

/// Hands every line followed by "\n" to the tokeniser; lines of no known key are ignored.
void r_dravstatsparse_feed_lines(const ts_parse_entry* table, std::string& copy,
                                 std::size_t start) {
  ts_line_reader lines(copy, start);
  while (const auto line = lines.next()) {
    r_dravtools_parse_data(table, line->data());
  }
}

template <typename Record>
consteval ts_key_row<Record> r_dravstatsparse_text_row(std::string_view key,
                                                       char (Record::*field)[TEXT_FIELD_SIZE],
                                                       int found) {
  return {r_dravstatsparse_padded(key), PARSE_TEXT, field, nullptr, found};
}

template <typename Record>
consteval ts_key_row<Record> r_dravstatsparse_int_row(std::string_view key,
                                                      std::int32_t Record::*field, int found) {
  return {r_dravstatsparse_padded(key), PARSE_INT, nullptr, field, found};
}

// Rows in the order in which the record lists its ab_found flags.
constexpr std::array<ts_key_row<ts_serverinfo>, 24> gct_serverinfo_rows = {{
    {r_dravstatsparse_exact("Server info settings:"), PARSE_MARKER, nullptr, nullptr, FOUND_LOCAL},
    r_dravstatsparse_text_row("mapname", &ts_serverinfo::ac_mapname, 0),
    r_dravstatsparse_int_row("pickupinfo", &ts_serverinfo::i_pickupinfo, 1),
    r_dravstatsparse_text_row("gamedate", &ts_serverinfo::ac_gamedate, 2),
    r_dravstatsparse_text_row("gamename", &ts_serverinfo::ac_gamename, 3),
    r_dravstatsparse_int_row("maxspectators", &ts_serverinfo::i_maxspectators, 4),
    r_dravstatsparse_int_row("weaponarena", &ts_serverinfo::i_weaponarena, 5),
    r_dravstatsparse_int_row("deathmatch", &ts_serverinfo::i_deathmatch, 6),
    r_dravstatsparse_int_row("protocol", &ts_serverinfo::i_protocol, 7),
    r_dravstatsparse_int_row("cheats", &ts_serverinfo::i_cheats, 8),
    r_dravstatsparse_int_row("skill", &ts_serverinfo::i_skill, 9),
    r_dravstatsparse_int_row("sv_violence", &ts_serverinfo::i_sv_violence, 10),
    r_dravstatsparse_text_row("version", &ts_serverinfo::ac_version, 11),
    r_dravstatsparse_int_row("fraglimit", &ts_serverinfo::i_fraglimit, 12),
    r_dravstatsparse_int_row("timelimit", &ts_serverinfo::i_timelimit, 13),
    r_dravstatsparse_int_row("sv_suicidepenalty", &ts_serverinfo::i_sv_suicidepenalty, 14),
    r_dravstatsparse_int_row("g_movescale", &ts_serverinfo::i_g_movescale, 15),
    r_dravstatsparse_int_row("ctf_loops", &ts_serverinfo::i_ctf_loops, 16),
    r_dravstatsparse_int_row("control_limit", &ts_serverinfo::i_control_limit, 17),
    r_dravstatsparse_int_row("control_bonus", &ts_serverinfo::i_control_bonus, 18),
    r_dravstatsparse_text_row("hostname", &ts_serverinfo::ac_hostname, 19),
    r_dravstatsparse_int_row("maxclients", &ts_serverinfo::i_maxclients, 20),
    r_dravstatsparse_int_row("dmflags", &ts_serverinfo::i_dmflags, 21),
    r_dravstatsparse_text_row("user", &ts_serverinfo::ac_user, 22),
}};

// The blank padding is part of each key, so "spectator" does not take the
// "spectator_password" line and "name" does not take a line beginning with "names".
// "allow_download_models" is wider than the key column and is matched as it is.
constexpr std::array<ts_key_row<ts_dumpuser>, 17> gct_dumpuser_rows = {{
    {r_dravstatsparse_exact("userinfo"), PARSE_MARKER, nullptr, nullptr, FOUND_NONE},
    {r_dravstatsparse_exact("--------"), PARSE_MARKER, nullptr, nullptr, FOUND_NONE},
    r_dravstatsparse_int_row("predicting", &ts_dumpuser::i_predicting, 0),
    r_dravstatsparse_int_row("spectator", &ts_dumpuser::i_spectator, 1),
    r_dravstatsparse_int_row("cl_violence", &ts_dumpuser::i_cl_violence, 2),
    r_dravstatsparse_int_row("team_red_blue", &ts_dumpuser::i_team_red_blue, 3),
    {r_dravstatsparse_exact("allow_download_models"), PARSE_INT, nullptr,
     &ts_dumpuser::i_allow_download_models, 4},
    r_dravstatsparse_text_row("teamname", &ts_dumpuser::ac_teamname, 5),
    r_dravstatsparse_text_row("skin", &ts_dumpuser::ac_skin, 6),
    r_dravstatsparse_int_row("rate", &ts_dumpuser::i_rate, 7),
    r_dravstatsparse_int_row("msg", &ts_dumpuser::i_msg, 8),
    r_dravstatsparse_text_row("bestweap", &ts_dumpuser::ac_bestweap, 9),
    r_dravstatsparse_int_row("fov", &ts_dumpuser::i_fov, 10),
    r_dravstatsparse_text_row("name", &ts_dumpuser::ac_name, 11),
    // The address text goes to the parser's own field and becomes ts_address afterwards.
    r_dravstatsparse_text_row<ts_dumpuser>("ip", nullptr, 12),
    r_dravstatsparse_text_row("password", &ts_dumpuser::ac_password, 13),
    r_dravstatsparse_text_row("spectator_password", &ts_dumpuser::ac_spectator_password, 14),
}};

/// Every details reply of a player begins with these two lines; anything else is the server
/// saying that the client number holds nobody (or a reply that lost its beginning).
constexpr std::string_view DUMPUSER_HEAD = "userinfo\n--------\n"sv;
/// The found flags of the rows "name" and "ip" above.
constexpr std::size_t DUMPUSER_FOUND_NAME = 11;
static_assert(gct_dumpuser_rows[13].i_found == static_cast<int>(DUMPUSER_FOUND_NAME));
static_assert(gct_dumpuser_rows[14].i_found == static_cast<int>(DUMPUSER_FOUND_IP));

/// True when text follows the last line feed: the reply was cut inside its last line.
bool r_dravstatsparse_cut_inside_line(const std::string& copy) {
  return !copy.empty() && copy.back() != '\n';
}

/// True when every found flag of the record belongs to exactly one row.
template <typename Record, std::size_t N>
consteval bool r_dravstatsparse_flags_complete(const std::array<ts_key_row<Record>, N>& rows) {
  const std::size_t flags = std::tuple_size_v<decltype(Record::ab_found)>;
  for (std::size_t flag = 0; flag < flags; ++flag) {
    int rows_with_flag = 0;
    for (const auto& row : rows) {
      rows_with_flag += row.i_found == static_cast<int>(flag) ? 1 : 0;
    }
    if (rows_with_flag != 1) {
      return false;
    }
  }
  return true;
}
static_assert(r_dravstatsparse_flags_complete(gct_serverinfo_rows));
static_assert(r_dravstatsparse_flags_complete(gct_dumpuser_rows));

}  // namespace

int r_dravstatsparse_parse_status(const char* text, std::size_t length, ts_status_reply& reply) {
  // Cleared before any check, so that a rejected reply lists nobody.
  reply.ab_present.fill(0);
  reply.b_complete = 0;
  reply.b_header_cut = 0;
  std::memset(reply.ac_map, 0, sizeof reply.ac_map);
  std::memset(reply.ac_gametype, 0, sizeof reply.ac_gametype);

  std::string copy = r_dravstatsparse_private_copy(text, length);
  ts_line_reader lines(copy, 0);
  bool b_plain = false;
  const te_status_header header = r_dravstatsparse_read_status_header(lines, reply, b_plain);
  reply.b_header_cut = header == HEADER_CUT ? 1 : 0;
  if (header != HEADER_READ) {
    return 0;
  }
  // The list ends at the first line that is no client line (in the layout with the game type,
  // one too short to hold every column).
  while (const auto line = lines.next()) {
    ts_status_line parsed;
    const bool b_client = b_plain ? r_dravstatsparse_parse_field_line(*line, parsed)
                                  : line->size() >= MIN_CLIENT_LINE;
    if (!b_client) {
      // Whatever follows the closing empty line belongs to no status reply: datagrams of
      // another reply were joined to this one, and what lies between is not to be trusted.
      reply.b_complete = line->empty() && lines.at_end() ? 1 : 0;
      break;
    }
    if (!b_plain) {
      r_dravstatsparse_parse_client_line(*line, parsed);
    }
    // A number the slot table cannot hold is skipped rather than trusted as an index.
    if (parsed.i_num < 0 || parsed.i_num >= MAX_CLIENTS) {
      continue;
    }
    const auto slot = static_cast<std::size_t>(parsed.i_num);
    reply.ats_line[slot] = parsed;
    reply.ab_present[slot] = 1;
  }
  return 1;
}

int r_dravstatsparse_parse_serverinfo(const char* text, std::size_t length, ts_serverinfo& info) {
  std::int32_t b_settings_seen = 0;
  const auto table =
      r_dravstatsparse_build_table(gct_serverinfo_rows, info, nullptr, &b_settings_seen);
  r_dravtools_parse_init(table.data());

  std::string copy = r_dravstatsparse_private_copy(text, length);
  const bool b_cut = r_dravstatsparse_cut_inside_line(copy);
  // Some servers begin the reply with an empty line, others with the settings line itself.
  r_dravstatsparse_feed_lines(table.data(), copy, 0);
  return b_settings_seen == 1 && !b_cut ? 1 : 0;
}

int r_dravstatsparse_parse_dumpuser(const char* text, std::size_t length, ts_dumpuser& info) {
  info = ts_dumpuser{};
  char ac_ip[TEXT_FIELD_SIZE] = {};
  const auto table = r_dravstatsparse_build_table(gct_dumpuser_rows, info, ac_ip, nullptr);
  r_dravtools_parse_init(table.data());

  std::string copy = r_dravstatsparse_private_copy(text, length);
  const bool b_whole = copy.starts_with(DUMPUSER_HEAD) && !r_dravstatsparse_cut_inside_line(copy);
  r_dravstatsparse_feed_lines(table.data(), copy, 0);

  info.ts_address = r_dravstatsparse_address(ac_ip);
  r_dravtools_remove_colors(info.ac_name_clean, info.ac_name);
  // A player always has a name. The address is not always there: the server adds it when the
  // player connects and drops it with the rest of the details when the player renames.
  return b_whole && info.ab_found[DUMPUSER_FOUND_NAME] == 1 ? 1 : 0;
}
