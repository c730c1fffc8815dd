// Parsers of the status, serverinfo and dumpuser replies, fed with replies laid out
// as the game server prints them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "drav_statsparse.h"

namespace {

constexpr char kStatusHeader[] =
    "Map              : q2dm1\n"
    "Gametype         : deathmatch\n"
    "\n"
    "num score ping name            lastmsg address               qport \n"
    "--- ----- ---- --------------- ------- --------------------- ------\n";

constexpr std::uint64_t ip(unsigned a, unsigned b, unsigned c, unsigned d) {
  return (std::uint64_t{a} << 24) | (b << 16) | (c << 8) | d;
}

/// A client line as the server pads it: the name column is one blank wider than the
/// name, and at least 16 columns.
std::string client_line(const std::string& num, const std::string& score, const std::string& ping,
                        const std::string& name, const std::string& lastmsg,
                        const std::string& address, const std::string& qport) {
  char tail[64];
  std::snprintf(tail, sizeof tail, "%7s %-21s %5s", lastmsg.c_str(), address.c_str(),
                qport.c_str());
  char head[32];
  std::snprintf(head, sizeof head, "%3s %5s %4s ", num.c_str(), score.c_str(), ping.c_str());
  std::string padded_name = name;
  padded_name.resize(std::max<std::size_t>(name.size(), 15), ' ');
  return head + padded_name + " " + tail;
}

std::string client_line(int num, const std::string& name = "Player") {
  return client_line(std::to_string(num), "5", "40", name, "0",
                     "192.0.2." + std::to_string(num) + ":27910", "1000") +
         "\n";
}

/// Parses `text` from a buffer of exactly its size, so that a read past the length given
/// is caught by the address sanitizer.
int parse_status(const std::string& text, ts_status_reply& reply) {
  const std::vector<char> bytes(text.begin(), text.end());
  return r_dravstatsparse_parse_status(bytes.data(), bytes.size(), reply);
}

int present_count(const ts_status_reply& reply) {
  int count = 0;
  for (auto flag : reply.ab_present) {
    count += flag;
  }
  return count;
}

std::unique_ptr<ts_status_reply> filled_reply() {
  auto reply = std::make_unique<ts_status_reply>();
  reply->ab_present.fill(1);
  std::strcpy(reply->ac_map, "stale");
  return reply;
}

// ---------------------------------------------------------------------------
// Status reply: header

TEST(StatusHeader, BrokenHeadersAreRejectedAndListNobody) {
  const std::string good = kStatusHeader;
  const std::string client = client_line(1);
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty reply", ""},
      {"a lone line feed", "\n"},
      {"map prefix short one blank",
       "Map             : q2dm1\n" + good.substr(good.find('\n') + 1)},
      {"lowercase map key", "map" + good.substr(3)},
      {"game type missing", "Map              : q2dm1\n\n" + good.substr(good.find("num"))},
      {"third line not empty", std::string(good).insert(good.find("\nnum"), " ")},
      {"column header without its last blank", std::string(good).erase(good.find("qport ") + 5, 1)},
      {"column header altered", std::string(good).replace(good.find("lastmsg"), 1, "L")},
      {"dash line one dash short", std::string(good).erase(good.rfind('-'), 1)},
      {"header lines swapped",
       good.substr(0, good.find("num")) + good.substr(good.find("---")) +
           good.substr(good.find("num"), good.find("---") - good.find("num"))},
      {"NUL inside the header", std::string(good).replace(good.find("lastmsg"), 1, 1, '\0')},
  };
  for (const auto& c : cases) {
    auto reply = filled_reply();
    EXPECT_EQ(parse_status(c.text + client, *reply), 0) << c.what;
    EXPECT_EQ(present_count(*reply), 0) << c.what;
  }
  // A dash line that is not followed by a line feed is not a line yet.
  auto reply = filled_reply();
  EXPECT_EQ(parse_status(good.substr(0, good.size() - 1), *reply), 0);
  EXPECT_EQ(present_count(*reply), 0);
}

TEST(StatusHeader, AcceptsHeaderAloneAndExtraTextAfterColumns) {
  auto reply = filled_reply();
  EXPECT_EQ(parse_status(kStatusHeader, *reply), 1);
  EXPECT_EQ(present_count(*reply), 0);
  EXPECT_STREQ(reply->ac_map, "q2dm1");
  EXPECT_STREQ(reply->ac_gametype, "deathmatch");

  std::string wide = kStatusHeader;
  wide.insert(wide.find("\n---"), "  extra");
  wide.insert(wide.size() - 1, "---- more");
  EXPECT_EQ(parse_status(wide + client_line(4), *reply), 1);
  EXPECT_EQ(present_count(*reply), 1);
  EXPECT_EQ(reply->ab_present[4], 1);
}

TEST(StatusHeader, LongMapNameIsCutAt512) {
  std::string text = kStatusHeader;
  text.replace(text.find("q2dm1"), 5, std::string(600, 'm'));
  ts_status_reply reply;
  ASSERT_EQ(parse_status(text, reply), 1);
  EXPECT_EQ(std::string(reply.ac_map), std::string(512, 'm'));
}

// ---------------------------------------------------------------------------
// Status reply: client lines

TEST(StatusClients, ReadsEveryColumnOfAMinimalLine) {
  const std::string line =
      "  3    12   48 Gunner          "
      "     17 192.0.2.4:910        "
      "   432";
  ASSERT_EQ(line.size(), 66u);
  ts_status_reply reply;
  ASSERT_EQ(parse_status(kStatusHeader + line + "\n", reply), 1);
  ASSERT_EQ(present_count(reply), 1);
  const ts_status_line& got = reply.ats_line[3];
  EXPECT_EQ(got.i_num, 3);
  EXPECT_EQ(got.i_score, 12);
  EXPECT_EQ(got.i_ping, 48);
  EXPECT_STREQ(got.ac_name, "Gunner");
  EXPECT_STREQ(got.ac_name_clean, "Gunner");
  EXPECT_EQ(got.i_lastmsg, 17);
  EXPECT_EQ(got.ts_address, (ts_ip_port{ip(192, 0, 2, 4), 910}));
  EXPECT_EQ(got.i_qport, 432);
  EXPECT_EQ(got.b_connecting, 0);
  EXPECT_EQ(got.b_zombie, 0);
}

TEST(StatusClients, ColumnsAfterTheNameFollowItsLength) {
  const struct {
    std::string name;
    std::string clean;
  } cases[] = {
      {"fifteen-chars-x", "fifteen-chars-x"},
      {"sixteen-chars-xy", "sixteen-chars-xy"},
      {"twenty-characters-xy", "twenty-characters-xy"},
      {"thirty-one-characters-long-name", "thirty-one-characters-long-name"},
      {"\x01R\x02"
       "ed Baron\x07",
       "Red Baron"},
      {"\x80\xA9\xFF game bytes", "\x80\xA9\xFF game bytes"},
      {"two  inner blanks", "two  inner blanks"},
      {"  \x03lead", "  lead"},
  };
  for (const auto& c : cases) {
    const std::string line =
        client_line("17", "-3", "999", c.name, "1234567", "203.0.113.250:65535", "65535");
    ASSERT_EQ(line.size(), 50 + std::max<std::size_t>(c.name.size() + 1, 16)) << c.name;
    ts_status_reply reply;
    ASSERT_EQ(parse_status(kStatusHeader + line + "\n", reply), 1) << c.name;
    ASSERT_EQ(reply.ab_present[17], 1) << c.name;
    const ts_status_line& got = reply.ats_line[17];
    EXPECT_EQ(got.i_score, -3) << c.name;
    EXPECT_EQ(got.i_ping, 999) << c.name;
    EXPECT_EQ(std::string(got.ac_name), c.name);
    EXPECT_EQ(std::string(got.ac_name_clean), c.clean);
    EXPECT_EQ(got.i_lastmsg, 1234567) << c.name;
    EXPECT_EQ(got.ts_address, (ts_ip_port{ip(203, 0, 113, 250), 65535})) << c.name;
    EXPECT_EQ(got.i_qport, 65535) << c.name;
  }
}

TEST(StatusClients, NumbersDoNotRunIntoTheNextColumn) {
  // Digits in the separator columns: a conversion that reads past its column sees them.
  const std::string line = std::string("  7112345267893") + "9name           " + "1111111" + "4" +
                           "198.51.100.1:1       " + "5" + "22222";
  ASSERT_EQ(line.size(), 66u);
  ts_status_reply reply;
  ASSERT_EQ(parse_status(kStatusHeader + line + "\n", reply), 1);
  const ts_status_line& got = reply.ats_line[7];
  EXPECT_EQ(got.i_score, 12345);
  EXPECT_EQ(got.i_ping, 6789);
  EXPECT_STREQ(got.ac_name, "9name");
  EXPECT_EQ(got.i_lastmsg, 1111111);
  EXPECT_EQ(got.ts_address, (ts_ip_port{ip(198, 51, 100, 1), 1}));
  EXPECT_EQ(got.i_qport, 22222);
}

TEST(StatusClients, SpecialPingTextsAndAddresses) {
  const struct {
    std::string ping;
    std::string address;
    int score, ping_value, connecting, zombie;
    ts_ip_port address_value;
  } cases[] = {
      {"CNCT", "192.0.2.9:27910", 0, 0, 1, 0, {ip(192, 0, 2, 9), 27910}},
      {"ZMBI", "192.0.2.9:27910", 25, 0, 0, 1, {ip(192, 0, 2, 9), 27910}},
      {"cnct", "192.0.2.9:27910", 25, 0, 0, 0, {ip(192, 0, 2, 9), 27910}},
      {"CNC", "192.0.2.9:27910", 25, 0, 0, 0, {ip(192, 0, 2, 9), 27910}},
      {"12", "loopback", 25, 12, 0, 0, {ip(127, 0, 0, 1), 0}},
      {"12", "loopback:5", 25, 12, 0, 0, {0, 0}},
      {"12", "192.0.2.300:27910", 25, 12, 0, 0, {0, 0}},
      {"12", "192.0.2.9", 25, 12, 0, 0, {ip(192, 0, 2, 9), 0}},
      {"12", "", 25, 12, 0, 0, {0, 0}},
  };
  for (const auto& c : cases) {
    const std::string line = client_line("2", "25", c.ping, "Someone", "3", c.address, "77");
    ts_status_reply reply;
    ASSERT_EQ(parse_status(kStatusHeader + line + "\n", reply), 1);
    ASSERT_EQ(reply.ab_present[2], 1) << c.ping << " " << c.address;
    const ts_status_line& got = reply.ats_line[2];
    EXPECT_EQ(got.i_score, c.score) << c.ping;
    EXPECT_EQ(got.i_ping, c.ping_value) << c.ping;
    EXPECT_EQ(got.b_connecting, c.connecting) << c.ping;
    EXPECT_EQ(got.b_zombie, c.zombie) << c.ping;
    EXPECT_EQ(got.ts_address, c.address_value) << c.address;
    EXPECT_EQ(got.i_qport, 77);
  }
}

TEST(StatusClients, BlankOnlyNameBecomesEmpty) {
  ts_status_reply reply;
  ASSERT_EQ(parse_status(kStatusHeader + client_line(5, std::string(20, ' ')), reply), 1);
  ASSERT_EQ(reply.ab_present[5], 1);
  EXPECT_STREQ(reply.ats_line[5].ac_name, "");
  EXPECT_STREQ(reply.ats_line[5].ac_name_clean, "");
}

TEST(StatusClients, ListEndsAtAShortLineOrAtTheLastLineFeed) {
  const std::string first = client_line(1);
  const std::string later = client_line(2);
  const std::string short_line = first.substr(0, 65) + "\n";

  ts_status_reply reply;
  ASSERT_EQ(parse_status(kStatusHeader + first + short_line + later, reply), 1);
  EXPECT_EQ(present_count(reply), 1);
  EXPECT_EQ(reply.ab_present[1], 1);

  const std::string unterminated = later.substr(0, later.size() - 1);
  ASSERT_EQ(parse_status(kStatusHeader + first + unterminated, reply), 1);
  EXPECT_EQ(present_count(reply), 1);
  EXPECT_EQ(reply.ab_present[2], 0);

  // The reply ends at its first NUL byte, even within the length given.
  ASSERT_EQ(parse_status(kStatusHeader + first + std::string(1, '\0') + later, reply), 1);
  EXPECT_EQ(present_count(reply), 1);

  // Only `length` bytes are read, even when more follow in the buffer.
  const std::string text = kStatusHeader + first + later;
  ASSERT_EQ(r_dravstatsparse_parse_status(text.c_str(), text.size() - 1, reply), 1);
  EXPECT_EQ(present_count(reply), 1);
}

TEST(StatusClients, LaterLineWithTheSameNumberWins) {
  ts_status_reply reply;
  ASSERT_EQ(parse_status(kStatusHeader + client_line(6, "First") + client_line(6, "Second"), reply),
            1);
  EXPECT_EQ(present_count(reply), 1);
  EXPECT_STREQ(reply.ats_line[6].ac_name, "Second");
}

TEST(StatusClients, NumbersOutsideTheSlotTableAreSkipped) {
  const std::string text = kStatusHeader + client_line(0, "Zero") + client_line(32, "Big") +
                           client_line(-1, "Negative") + client_line(999, "Huge") +
                           client_line(31, "Last");
  ts_status_reply reply;
  ASSERT_EQ(parse_status(text, reply), 1);
  EXPECT_EQ(present_count(reply), 2);
  EXPECT_STREQ(reply.ats_line[0].ac_name, "Zero");
  EXPECT_STREQ(reply.ats_line[31].ac_name, "Last");
  EXPECT_EQ(reply.ats_line[31].ts_address, (ts_ip_port{ip(192, 0, 2, 31), 27910}));
}

// ---------------------------------------------------------------------------
// Serverinfo and dumpuser replies

std::string key_line(const std::string& key, const std::string& value) {
  std::string line = key;
  line.resize(std::max<std::size_t>(key.size(), 20), ' ');
  return line + value + "\n";
}

int parse_serverinfo(const std::string& text, ts_serverinfo& info) {
  const std::vector<char> bytes(text.begin(), text.end());
  return r_dravstatsparse_parse_serverinfo(bytes.data(), bytes.size(), info);
}

int parse_dumpuser(const std::string& text, ts_dumpuser& info) {
  const std::vector<char> bytes(text.begin(), text.end());
  return r_dravstatsparse_parse_dumpuser(bytes.data(), bytes.size(), info);
}

TEST(Serverinfo, ReadsEveryKeyAndItsFoundFlag) {
  const std::string text =
      "\nServer info settings:\n" + key_line("mapname", "q2dm8") + key_line("pickupinfo", "1") +
      key_line("gamedate", "Nov 11 2023") + key_line("gamename", "ctf") +
      key_line("maxspectators", "4") + key_line("weaponarena", "2") + key_line("deathmatch", "1") +
      key_line("protocol", "34") + key_line("cheats", "0") + key_line("skill", "3") +
      key_line("sv_violence", "5") + key_line("version", "3.20 x86") +
      key_line("fraglimit", "  30") + key_line("timelimit", "20") +
      key_line("sv_suicidepenalty", "-2") + key_line("g_movescale", "1.5") +
      key_line("ctf_loops", "7") + key_line("control_limit", "8") + key_line("control_bonus", "9") +
      key_line("hostname", "\x02My \x80Server") + key_line("maxclients", "32") +
      key_line("dmflags", "16") + key_line("user", "operator");
  ts_serverinfo info;
  ASSERT_EQ(parse_serverinfo(text, info), 1);
  ts_serverinfo want;
  std::strcpy(want.ac_mapname, "q2dm8");
  want.i_pickupinfo = 1;
  std::strcpy(want.ac_gamedate, "Nov 11 2023");
  std::strcpy(want.ac_gamename, "ctf");
  want.i_maxspectators = 4;
  want.i_weaponarena = 2;
  want.i_deathmatch = 1;
  want.i_protocol = 34;
  want.i_skill = 3;
  want.i_sv_violence = 5;
  std::strcpy(want.ac_version, "3.20 x86");
  want.i_fraglimit = 30;
  want.i_timelimit = 20;
  want.i_sv_suicidepenalty = -2;
  want.i_g_movescale = 1;
  want.i_ctf_loops = 7;
  want.i_control_limit = 8;
  want.i_control_bonus = 9;
  std::strcpy(want.ac_hostname, "\x02My \x80Server");
  want.i_maxclients = 32;
  want.i_dmflags = 16;
  std::strcpy(want.ac_user, "operator");
  want.ab_found.fill(1);
  EXPECT_TRUE(info == want);
}

TEST(Serverinfo, FirstCharacterIsSkippedAndValuesAreReset) {
  ts_serverinfo info;
  std::strcpy(info.ac_hostname, "stale");
  info.i_fraglimit = 99;
  info.ab_found.fill(1);
  const std::string body = "Server info settings:\n" + key_line("fraglimit", "frags") +
                           key_line("hostname", std::string(600, 'h'));
  ASSERT_EQ(parse_serverinfo("\n" + body, info), 1);
  EXPECT_EQ(info.i_fraglimit, 0);
  EXPECT_EQ(info.ab_found[12], 1);
  EXPECT_EQ(std::string(info.ac_hostname), std::string(512, 'h'));
  EXPECT_EQ(info.ab_found[0], 0);

  EXPECT_EQ(parse_serverinfo(body, info), 0);
  EXPECT_EQ(parse_serverinfo("", info), 0);
  EXPECT_TRUE(info == ts_serverinfo{});

  // The last line counts only with its line feed.
  ASSERT_EQ(
      parse_serverinfo("\nServer info settings:\n" + key_line("user", "x").substr(0, 21), info), 1);
  EXPECT_EQ(info.ab_found[22], 0);
}

TEST(Dumpuser, KeysMatchWithTheirPadding) {
  const std::string text = "userinfo\n--------\n" + key_line("spectator_password", "watch") +
                           key_line("spectator", "1") + key_line("names", "not a name") +
                           key_line("name",
                                    "\x01"
                                    "Ace\x1F of\x05 Spades") +
                           "allow_download_models1\n" + key_line("ip", "198.51.100.20:910") +
                           key_line("rate", "25000") + key_line("rate", "8000") +
                           key_line("fov", "wide") + key_line("skin", "male/grunt") +
                           key_line("unknown_key", "7") + key_line("password", "secret") +
                           key_line("msg", "1") + "trailing line without line feed";
  ts_dumpuser info;
  std::strcpy(info.ac_teamname, "stale");
  info.i_predicting = 9;
  ASSERT_EQ(parse_dumpuser(text, info), 1);
  ts_dumpuser want;
  std::strcpy(want.ac_spectator_password, "watch");
  want.i_spectator = 1;
  std::strcpy(want.ac_name,
              "\x01"
              "Ace\x1F of\x05 Spades");
  std::strcpy(want.ac_name_clean, "Ace of Spades");
  want.i_allow_download_models = 1;
  want.ts_address = {ip(198, 51, 100, 20), 910};
  want.i_rate = 8000;
  want.i_fov = 0;
  std::strcpy(want.ac_skin, "male/grunt");
  std::strcpy(want.ac_password, "secret");
  want.i_msg = 1;
  //            predicting spectator cl_violence team allow teamname skin rate msg bestweap fov
  want.ab_found = {0, 1, 0, 0, 1, 0, 1, 1, 1, 0, 1, 1, 1, 1, 1};
  EXPECT_TRUE(info == want);
}

TEST(Dumpuser, EmptyOrAddresslessReplies) {
  ts_dumpuser info;
  std::strcpy(info.ac_name_clean, "stale");
  info.ts_address = {ip(192, 0, 2, 1), 1};
  EXPECT_EQ(parse_dumpuser("", info), 1);
  EXPECT_TRUE(info == ts_dumpuser{});
  EXPECT_EQ(r_dravstatsparse_parse_dumpuser(nullptr, 0, info), 1);
  EXPECT_TRUE(info == ts_dumpuser{});

  ASSERT_EQ(parse_dumpuser(key_line("ip", "not an address"), info), 1);
  EXPECT_EQ(info.ts_address, (ts_ip_port{0, 0}));
  EXPECT_EQ(info.ab_found[12], 1);
}

// ---------------------------------------------------------------------------
// Robustness: arbitrary bytes from the network

std::string valid_status() {
  std::string text = kStatusHeader;
  for (int num = 0; num < 32; ++num) {
    text += client_line(num, std::string(static_cast<std::size_t>(num), 'n') +
                                 "\x02"
                                 "c");
  }
  return text;
}

void expect_terminated(const char* field, const char* what) {
  EXPECT_LT(strnlen(field, TEXT_FIELD_SIZE), TEXT_FIELD_SIZE) << what;
}

TEST(Robustness, ParsersSurviveArbitraryBytes) {
  std::mt19937 random(20240611);
  const std::string seeds[] = {
      valid_status(),
      "\nServer info settings:\n" + key_line("mapname", "q2dm1") + key_line("hostname", "h") +
          key_line("maxclients", "8"),
      "userinfo\n--------\n" + key_line("name", "p") + key_line("ip", "192.0.2.1:27910"),
  };
  const char alphabet[] =
      "\n\n\n   0123456789-:.\x01\x7F\xFF"
      "aZ";
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };

  for (int round = 0; round < 3000; ++round) {
    std::string text;
    if (round % 4 == 0) {
      text.resize(pick(700));
      for (char& c : text) {
        c = round % 8 == 0 ? static_cast<char>(random()) : alphabet[pick(sizeof alphabet - 1)];
      }
    } else {
      text = seeds[pick(3)];
      for (int edits = 1 + static_cast<int>(pick(6)); edits > 0; --edits) {
        const std::size_t at = text.empty() ? 0 : pick(text.size());
        switch (pick(4)) {
          case 0:
            text.resize(at);
            break;
          case 1:
            if (!text.empty()) {
              text[at] = static_cast<char>(text[at] ^ (1 << pick(8)));
            }
            break;
          case 2:
            text.insert(at, 1, '\0');
            break;
          default:
            text.insert(at, 1, '\n');
            break;
        }
      }
    }

    auto status = std::make_unique<ts_status_reply>();
    const int accepted = parse_status(text, *status);
    expect_terminated(status->ac_map, "map");
    expect_terminated(status->ac_gametype, "gametype");
    for (std::size_t i = 0; i < status->ab_present.size(); ++i) {
      if (status->ab_present[i] == 0) {
        continue;
      }
      ASSERT_EQ(accepted, 1);
      const ts_status_line& line = status->ats_line[i];
      EXPECT_EQ(line.i_num, static_cast<int>(i));
      expect_terminated(line.ac_name, "name");
      expect_terminated(line.ac_name_clean, "clean name");
      const std::size_t length = std::strlen(line.ac_name);
      EXPECT_TRUE(length == 0 || line.ac_name[length - 1] != ' ');
    }

    ts_serverinfo info;
    parse_serverinfo(text, info);
    for (const char* field : {info.ac_mapname, info.ac_gamedate, info.ac_gamename, info.ac_version,
                              info.ac_hostname, info.ac_user}) {
      expect_terminated(field, "serverinfo text");
    }

    ts_dumpuser user;
    EXPECT_EQ(parse_dumpuser(text, user), 1);
    for (const char* field : {user.ac_teamname, user.ac_skin, user.ac_bestweap, user.ac_name,
                              user.ac_password, user.ac_spectator_password, user.ac_name_clean}) {
      expect_terminated(field, "dumpuser text");
    }
    if (HasFailure()) {
      FAIL() << "round " << round;
    }
  }
}

}  // namespace
