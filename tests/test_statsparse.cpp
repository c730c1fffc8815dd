// The reply parsers on the exact layouts the game server prints (any bytes: the fuzz targets).
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "drav_net.h"
#include "drav_statsparse.h"
#include "sim_server.h"
#include "support.h"

namespace {

using drav_test::ip;

constexpr char STATUS_HEADER[] =
    "Map              : dmap1\n"
    "Gametype         : deathmatch\n"
    "\n"
    "num score ping name            lastmsg address               qport \n"
    "--- ----- ---- --------------- ------- --------------------- ------\n";

/// A client line as the server pads it: the name column is one blank wider, at least 16.
std::string client_line(const std::string& num, const std::string& score, const std::string& ping,
                        const std::string& name, const std::string& lastmsg,
                        const std::string& address, const std::string& qport) {
  char head[32], tail[64];
  std::snprintf(head, sizeof head, "%3s %5s %4s ", num.c_str(), score.c_str(), ping.c_str());
  std::snprintf(tail, sizeof tail, "%7s %-21s %5s", lastmsg.c_str(), address.c_str(),
                qport.c_str());
  return head + name + std::string(name.size() < 15 ? 16 - name.size() : 1, ' ') + tail;
}
std::string client_line(int num, const std::string& name = "Player") {
  const std::string address = "192.0.2." + std::to_string(num) + ":27910";
  return client_line(std::to_string(num), "5", "40", name, "0", address, "1000") + "\n";
}

/// Runs `parser` on a buffer of exactly the text's size, so a read past it is caught.
template <typename Record>
int parse(int (*parser)(const char*, std::size_t, Record&), const std::string& text,
          Record& record) {
  const std::vector<char> bytes(text.begin(), text.end());
  return parser(bytes.data(), bytes.size(), record);
}

/// The reply to `text`; a reply with a broken header must list nobody.
std::unique_ptr<ts_status_reply> parse_status(const std::string& text, int accepted = 1) {
  auto reply = std::make_unique<ts_status_reply>();
  reply->ab_present.fill(1);
  EXPECT_EQ(parse(r_dravstatsparse_parse_status, text, *reply), accepted) << text;
  return reply;
}

/// The details parsed from `text` into `info`; 1 when they are whole.
int parse_details(const std::string& text, ts_dumpuser& info) {
  return parse(r_dravstatsparse_parse_dumpuser, text, info);
}

std::vector<int> present(const ts_status_reply& reply) {
  std::vector<int> slots;
  for (int slot = 0; slot < MAX_CLIENTS; ++slot)
    if (reply.ab_present[slot] != 0)
      slots.push_back(slot);
  return slots;
}

TEST(Status, HeaderIsCheckedLineByLine) {
  const std::string good = STATUS_HEADER;
  const std::size_t num = good.find("num"), dashes = good.find("---");
  const std::string broken[] = {
      "",
      "Map             : dmap1\n" + good.substr(good.find('\n') + 1),
      "map" + good.substr(3),
      "Map              : dmap1\n\n" + good.substr(num),
      std::string(good).insert(num - 1, " "),
      std::string(good).erase(good.find("qport ") + 5, 1),
      std::string(good).replace(good.find("lastmsg"), 1, "L"),
      std::string(good).erase(good.rfind('-'), 1),
      good.substr(0, num) + good.substr(dashes) + good.substr(num, dashes - num)};
  for (const std::string& text : broken)
    EXPECT_EQ(present(*parse_status(text + client_line(1), 0)), std::vector<int>{}) << text;

  // Extra text after the columns is allowed; a long map name is cut at 512 bytes.
  std::string wide = STATUS_HEADER;
  wide.insert(wide.find("\n---"), "  extra");
  wide.insert(wide.size() - 1, "---- more");
  wide.replace(wide.find("dmap1"), 5, std::string(600, 'm'));
  const auto reply = parse_status(wide + client_line(4));
  EXPECT_EQ(present(*reply), std::vector<int>{4});
  EXPECT_EQ(std::string(reply->ac_map), std::string(512, 'm'));
}

ts_status_line parse_client(const std::string& line) {
  const auto reply = parse_status(STATUS_HEADER + line + "\n");
  const std::vector<int> slots = present(*reply);
  EXPECT_EQ(slots.size(), 1u) << line;
  return slots.empty() ? ts_status_line{} : reply->ats_line[slots[0]];
}

TEST(Status, ColumnsAreReadByPositionAndPingsAndAddressesHaveSpecialTexts) {
  // Digits in the separator columns: a conversion that reads past its column sees them.
  EXPECT_EQ(
      parse_client("  7112345267893"
                   "9name           1111111"
                   "4198.51.100.1:1       522222"),
      (ts_status_line{7, 12345, 6789, "9name", "9name", 1111111, {ip("198.51.100.1"), 1}, 22222}));
  const std::uint64_t player = ip("192.0.2.9");
  const struct {
    const char *ping, *address;
    int score, ping_value, connecting, zombie;
    ts_ip_port parsed;
  } cases[] = {
      {"CNCT", "192.0.2.9:27910", 0, 0, 1, 0, {player, 27910}},
      {"ZMBI", "192.0.2.9:27910", 25, 0, 0, 1, {player, 27910}},
      {"cnct", "192.0.2.9:27910", 25, 0, 0, 0, {player, 27910}},
      {"CNC", "192.0.2.9:27910", 25, 0, 0, 0, {player, 27910}},
      {"12", "loopback", 25, 12, 0, 0, {ip("127.0.0.1"), 0}},
      {"12", "loopback:5", 25, 12, 0, 0, {0, 0}},
      {"12", "192.0.2.9", 25, 12, 0, 0, {player, 0}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(parse_client(client_line("2", "25", c.ping, "Someone", "3", c.address, "77")),
              (ts_status_line{2, c.score, c.ping_value, "Someone", "Someone", 3, c.parsed, 77,
                              c.connecting, c.zombie}))
        << c.ping << " " << c.address;
}

TEST(Status, ListEndsAtAShortLineTheLastLineFeedOrANulAndKeepsSlotsAndNamesInRange) {
  const std::string first = client_line(1), later = client_line(2);
  for (const std::string& rest :
       {first.substr(0, 65) + "\n" + later, later.substr(0, later.size() - 1), '\0' + later})
    EXPECT_EQ(present(*parse_status(STATUS_HEADER + first + rest)), std::vector<int>{1});
  // The list is whole only when its closing empty line ends the reply: more text is another's.
  const std::pair<std::string, int> endings[] = {
      {"\n", 1}, {"", 0}, {"\n" + later, 0}, {"\n\n", 0}, {first.substr(0, 65) + "\n", 0}};
  for (const auto& [ending, complete] : endings)
    EXPECT_EQ(parse_status(STATUS_HEADER + first + ending)->b_complete, complete) << ending;
  // Only `length` bytes are read, even when more follow in the buffer.
  const std::string text = STATUS_HEADER + first + later;
  ts_status_reply cut;
  ASSERT_EQ(r_dravstatsparse_parse_status(text.c_str(), text.size() - 1, cut), 1);
  EXPECT_EQ(present(cut), std::vector<int>{1});

  // Names fill their column up to the next; trailing blanks are padding; clean names lose colours.
  const auto reply = parse_status(
      STATUS_HEADER + client_line(0, std::string(20, ' ')) + client_line(32) + client_line(-1) +
      client_line(999) + client_line(31, "thirty-one-characters-long-name") +
      client_line(6, "First") + client_line(6, "\x01R\x02od Baron\x07") +
      client_line(9, "sixteen-chars-xy") + client_line(10, "  \x03two  blanks"));
  EXPECT_EQ(present(*reply), (std::vector<int>{0, 6, 9, 10, 31, 32}));
  std::vector<std::string> names;
  for (const int slot : present(*reply)) {
    const ts_status_line& line = reply->ats_line[slot];
    names.push_back(std::string(line.ac_name) + "|" + line.ac_name_clean);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"|", "\x01R\x02od Baron\x07|Rod Baron",
                                             "sixteen-chars-xy|sixteen-chars-xy",
                                             "  \x03two  blanks|  two  blanks",
                                             "thirty-one-characters-long-name|"
                                             "thirty-one-characters-long-name",
                                             "Player|Player"}));
  EXPECT_EQ(reply->ats_line[31].ts_address, (ts_ip_port{ip("192.0.2.31"), 27910}));
}

/// Key lines as the server pads them, from "key=value|key=value...": keys fill 20 columns.
std::string key_lines(const std::string& pairs) {
  std::string text, pair;
  std::istringstream in(pairs);
  while (std::getline(in, pair, '|')) {
    std::string key = pair.substr(0, pair.find('='));
    key.resize(std::max<std::size_t>(key.size(), 20), ' ');
    text += key + pair.substr(pair.find('=') + 1) + "\n";
  }
  return text;
}

TEST(Serverinfo, ReadsEveryKeyWithOrWithoutALeadingEmptyLineAndResetsTheRest) {
  ts_serverinfo info;
  ASSERT_EQ(parse(r_dravstatsparse_parse_serverinfo,
                  "\nServer info settings:\n" +
                      key_lines("mapname=dmap8|pickupinfo=1|gamedate=Nov 11 2023|gamename=ctf|"
                                "maxspectators=4|weaponarena=2|deathmatch=1|protocol=34|cheats=0|"
                                "skill=3|sv_violence=5|version=3.20 x86|fraglimit=  30|"
                                "timelimit=20|sv_suicidepenalty=-2|g_movescale=1.5|ctf_loops=7|"
                                "control_limit=8|control_bonus=9|hostname=\x02My \x80Server|"
                                "maxclients=32|dmflags=16|user=operator"),
                  info),
            1);
  // The values in the order of the record's fields, which is the order of the keys above.
  // clang-format off
  ts_serverinfo want{"dmap8", 1, "Nov 11 2023", "ctf", 4, 2, 1, 34, 0, 3, 5, "3.20 x86", 30, 20, -2,
                     1, 7, 8, 9, "\x02My \x80Server", 32, 16, "operator"};
  // clang-format on
  want.ab_found.fill(1);
  EXPECT_TRUE(info == want);

  const std::string body =
      "Server info settings:\n" + key_lines("fraglimit=frags|hostname=" + std::string(600, 'h'));
  ASSERT_EQ(parse(r_dravstatsparse_parse_serverinfo, body, info), 1);  // no empty line first
  EXPECT_EQ(std::tuple(info.i_fraglimit, info.ab_found[12], info.ab_found[0], info.ac_hostname),
            std::tuple(0, 1, 0, std::string(512, 'h')));
  EXPECT_EQ(parse(r_dravstatsparse_parse_serverinfo, "x" + body, info), 0);
  EXPECT_EQ(parse(r_dravstatsparse_parse_serverinfo, "", info), 0);
  EXPECT_TRUE(info == ts_serverinfo{});
  // The last line counts only with its line feed, and a reply cut inside a line is not whole.
  ASSERT_EQ(parse(r_dravstatsparse_parse_serverinfo,
                  "\nServer info settings:\n" + key_lines("user=x").substr(0, 21), info),
            0);
  EXPECT_EQ(std::tuple(info.ab_found[22], info.ab_found[0]), std::tuple(0, 0));
}

// A cut reply must not pass for changed details (cuts before the address line: the tracker test).
TEST(Dumpuser, KeysMatchWithTheirPaddingAndOnlyAWholeReplyIsTaken) {
  ts_dumpuser info{.i_predicting = 9, .ac_teamname = "stale"};
  ASSERT_EQ(parse_details("userinfo\n--------\n" +
                              key_lines("spectator_password=watch|spectator=1|names=not a name|"
                                        "name=\x01Sir\x1F of\x05 Spades") +
                              "allow_download_models1\n" +
                              key_lines("ip=198.51.100.20:910|rate=25000|rate=8000|fov=wide|"
                                        "skin=soldier/green|unknown_key=7|password=secret|msg=1"),
                          info),
            1);
  const ts_dumpuser want{0, 1, 0, 0, 1, "", "soldier/green", 8000, 1, "", 0,
                         "\x01Sir\x1F of\x05 Spades", ts_ip_port{ip("198.51.100.20"), 910},
                         "secret", "watch", "Sir of Spades",
                         // predicting spectator cl_violence team allow teamname skin rate msg ...
                         std::array<std::int32_t, 15>{0, 1, 0, 0, 1, 0, 1, 1, 1, 0, 1, 1, 1, 1, 1}};
  EXPECT_TRUE(info == want);

  EXPECT_EQ(r_dravstatsparse_parse_dumpuser(nullptr, 0, info), 0);
  EXPECT_TRUE(info == ts_dumpuser{});
  ASSERT_EQ(parse_details(key_lines("ip=not an address"), info), 0);
  EXPECT_EQ(std::tuple(info.ts_address, info.ab_found[12]), std::tuple(ts_ip_port{0, 0}, 1));

  const std::string whole =
      "userinfo\n--------\n" + key_lines("skin=male/grunt|name=Red|ip=192.0.2.7:27901");
  EXPECT_EQ(parse_details(whole, info), 1);
  for (const std::string& cut : {whole + "rate                25",   // inside its last line
                                 whole.substr(0, whole.size() - 5),  // inside the address line
                                 whole.substr(whole.find("skin")),   // the head datagram lost
                                 "userinfo\n--------\n" + key_lines("ip=192.0.2.7:27901")})
    EXPECT_EQ(parse_details(cut, info), 0) << cut;  // or no name
}

std::string reply_file(const std::string& file) {
  return drav_test::read_file(DRAV_SOURCE_DIR "/tests/data/replies/" + file);
}

/// The text that the transport makes of the shared reply datagrams `files` (tests/data/replies).
std::string real_reply(const std::vector<std::string>& files) {
  std::vector<std::string> bytes(files.size());  // sized first: the datagrams view its strings
  std::vector<ts_net_datagram> datagrams;
  for (std::size_t i = 0; i < files.size(); ++i)
    datagrams.push_back({0x7F000001, 27910, bytes[i] = reply_file(files[i]), 1});
  return r_dravnet_assemble_reply(datagrams, {0x7F000001, 27910, {}}, {-1, 100, 0}).value_or("");
}

/// Slot, name, address and port of each listed player, "n name a.b.c.d:port".
std::vector<std::string> listed(const ts_status_reply& reply) {
  std::vector<std::string> players;
  for (const int slot : present(reply)) {
    const ts_status_line& line = reply.ats_line[slot];
    players.push_back(std::to_string(line.i_num) + " " + line.ac_name + " " +
                      r_dravip_ip_to_text(line.ts_address.ip).c_str() + ":" +
                      std::to_string(line.ts_address.port) + " " + std::to_string(line.i_qport));
  }
  return players;
}

TEST(RealReplies, EveryLayoutOfRealServersGivesItsPlayers) {
  const std::vector<std::string> four = {
      "0 Alpha 127.0.0.2:59137 1000", "1 Two Words 127.0.0.3:59665 1001",
      "2 HiibitD 127.0.0.4:45521 1002", "3 Sixteen_chars_16 127.0.0.5:34272 1003"};
  for (const char* file : {"plain-status.bin", "plain-status-bracketed.bin"}) {
    const auto reply = parse_status(real_reply({file}));
    EXPECT_EQ(std::tuple(listed(*reply), reply->b_complete, std::string(reply->ac_map),
                         std::string(reply->ac_gametype)),
              std::tuple(four, 1, "box", ""))
        << file;
  }
  const auto split = parse_status(real_reply({"split-status-1.bin", "split-status-2.bin"}));
  EXPECT_EQ(std::tuple(present(*split).size(), split->b_complete), std::tuple(30u, 1));
  EXPECT_EQ(listed(*split)[14], "14 ThirtyOne_character_name_xxxx14 127.0.1.16:54166 2014");
  // The first datagram alone was cut inside a client line: its list is not whole.
  EXPECT_EQ(parse_status(real_reply({"split-status-1.bin"}))->b_complete, 0);

  ts_serverinfo settings;
  EXPECT_EQ(
      parse(r_dravstatsparse_parse_serverinfo, real_reply({"plain-serverinfo.bin"}), settings), 1);
  EXPECT_EQ(std::tuple(std::string(settings.ac_mapname), std::string(settings.ac_gamename),
                       settings.i_deathmatch, settings.i_maxclients),
            std::tuple("box", "base", 1, 16));

  ts_dumpuser details;
  EXPECT_EQ(parse_details(real_reply({"plain-dumpuser.bin"}), details), 1);
  EXPECT_EQ(std::tuple(std::string(details.ac_name), details.ts_address, details.i_rate),
            std::tuple("Hi\xE9"
                       "bit\xC4",
                       ts_ip_port{ip("127.0.0.4"), 45521}, 25000));
  // After a rename the address line is gone until the player reconnects: still whole details.
  EXPECT_EQ(parse_details(real_reply({"dumpuser-after-rename.bin"}), details), 1);
  EXPECT_EQ(std::tuple(std::string(details.ac_name), details.ts_address, details.ab_found[12]),
            std::tuple("Renamed One", ts_ip_port{}, 0));
  EXPECT_EQ(parse_details(real_reply({"dumpuser-empty-slot.bin"}), details), 0);
}

TEST(RealReplies, PlainLayoutsAreReadByFieldsAndCutHeadersAreToldApart) {
  const std::string plain =
      "map              : q2dm1\n"
      "num score ping name            lastmsg address               qport \n"
      "--- ----- ---- --------------- ------- --------------------- ------\n";
  const std::string lines[] = {
      "  7     3 CNCT   two  blanks           0 [255.255.255.255]:65535  27001\n",
      "255    -1   12 x                    20 loopback                   9\n",
      "100     0 ZMBI                      20 [192.0.2.1]:1             17\n",
      " 40 123456789 48 Forty 40  2        17 192.0.2.40:910           432\n"};
  const auto reply = parse_status(plain + lines[0] + lines[1] + lines[2] + lines[3] + "\n");
  EXPECT_EQ(std::tuple(present(*reply), reply->b_complete),
            std::tuple(std::vector<int>{7, 40, 100, 255}, 1));
  EXPECT_EQ(
      reply->ats_line[40],
      (ts_status_line{
          40, 123456789, 48, "Forty 40  2", "Forty 40  2", 17, {ip("192.0.2.40"), 910}, 432}));
  EXPECT_EQ(reply->ats_line[7], (ts_status_line{7, 0, 0, "  two  blanks", "  two  blanks", 0,
                                                {ip("255.255.255.255"), 65535}, 27001, 1, 0}));
  EXPECT_EQ(std::tuple(reply->ats_line[100].b_zombie, std::string(reply->ats_line[100].ac_name),
                       reply->ats_line[255].i_score, reply->ats_line[255].ts_address),
            std::tuple(1, "", -1, ts_ip_port{ip("127.0.0.1"), 0}));
  // A line without six fields, or with a number or score that is no number (or more than nine
  // digits), ends the list.
  for (const std::string bad :
       {"  8     0   12 Alpha 20 192.0.2.8:1\n", "  x     0   12 Alpha     20 192.0.2.8:1  5\n",
        "  8    1x   12 Alpha     20 192.0.2.8:1  5\n", "  8 1234567890 12 Alpha 20 192.0.2.8:1 5\n"})
    EXPECT_EQ(std::tuple(present(*parse_status(plain + lines[3] + bad + lines[0] + "\n")),
                         parse_status(plain + bad + "\n")->b_complete),
              std::tuple(std::vector<int>{40}, 0))
        << bad;

  // A reply that ends inside a header line is cut; a whole line that fits no layout is not.
  const std::pair<std::string, int> headers[] = {
      {"", 1}, {"ma", 1}, {plain.substr(0, 30), 1}, {plain.substr(0, plain.size() - 1), 1},
      {std::string(STATUS_HEADER).substr(0, 44), 1}, {std::string(STATUS_HEADER).substr(0, 50), 1},
      {"Bad rcon_password.\n", 0}, {"map  : box\n", 0}, {"Unknown command \"status\"\n", 0},
      {std::string(70000, ' '), 1}, {"Map              : q2dm1\nGametype : x\n", 0}};
  for (const auto& [text, cut] : headers)
    EXPECT_EQ(parse_status(text, 0)->b_header_cut, cut) << text;
  // A server that sends blanks without end: the transport's bounds make the reply end, and
  // its cut list is not whole.
  const auto flooded =
      parse_status(STATUS_HEADER + client_line(1) + "  2     0   21 Seventeen_chars_17" +
                   std::string(NET_REPLY_MAX_BYTES, ' '));
  EXPECT_EQ(std::tuple(present(*flooded), flooded->b_complete), std::tuple(std::vector<int>{1}, 0));
}

TEST(RealReplies, TheSimulatorAnswersByteForByteInEachLayout) {
  drav_sim::SimServer server{"secret"};
  // The third name's raw bytes: "\xE9b" would read as one escape.
  const std::string high_bits = std::string("Hi\xE9") + "bit\xC4";
  const char* names[] = {"Alpha", "Two Words", high_bits.c_str(), "Sixteen_chars_16"};
  const int ports[] = {59137, 59665, 45521, 34272};
  for (int slot = 0; slot < 4; ++slot) {
    server.set_player(slot, {names[slot], "127.0.0." + std::to_string(slot + 2), ports[slot],
                             1000 + slot, 0, 21, 20, false, false,
                             {{"skin", "male/grunt"}, {"rate", "25000"}, {"msg", "1"},
                              {"hand", "2"}, {"fov", "90"}}});
  }
  server.set_map("box", "");
  server.set_serverinfo({{"version", "1.0 x86_64 Dec  7 2026 Linux"}, {"timelimit", "0"},
                         {"singleplayer", "0"}, {"protocol", "34"}, {"needpass", "0"},
                         {"maxspectators", "4"}, {"maxclients", "32"}, {"mapname", "box"},
                         {"hostname", "noname"}, {"gamename", "base"},
                         {"gamedate", "Dec  7 2026"}, {"fraglimit", "0"}, {"dmflags", "16"},
                         {"deathmatch", "1"}, {"coop", "0"}, {"cheats", "0"}});
  server.set_max_clients(16);
  const auto answer = [&](const std::string& command) {
    std::string joined;
    for (const std::string& datagram : server.execute(command))
      joined += datagram;
    return joined;
  };
  server.set_layout(drav_sim::Layout::PLAIN);
  EXPECT_EQ(answer("status"), reply_file("plain-status.bin"));
  EXPECT_EQ(answer("serverinfo"), reply_file("plain-serverinfo.bin"));
  server.set_layout(drav_sim::Layout::BRACKETED);
  EXPECT_EQ(answer("status"), reply_file("plain-status-bracketed.bin"));
  EXPECT_EQ(answer("dumpuser 2"), reply_file("plain-dumpuser.bin"));
  server.rename_player(2, "Renamed One");
  EXPECT_EQ(answer("dumpuser 2"), reply_file("dumpuser-after-rename.bin"));
  server.remove_player(2);
  EXPECT_EQ(answer("dumpuser 2"), reply_file("dumpuser-empty-slot.bin"));
}

}  // namespace
