// Address, network and address:port parsing, printing, masks and the reverse look-up.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "drav_ip.h"

namespace {

constexpr std::uint64_t ip(unsigned a, unsigned b, unsigned c, unsigned d) {
  return (std::uint64_t{a} << 24) | (b << 16) | (c << 8) | d;
}

TEST(Ip, StringToIp) {
  for (const char* text :
       {"1.2.3.4", "1.2.3.4 rest", "1.2.3.4:99", "1.2.3.4/8", " 1.2.3.4", "01.002.3.4"}) {
    EXPECT_EQ(r_dravip_string_to_ip(text), ip(1, 2, 3, 4)) << '"' << text << '"';
  }
  const std::string huge = "1.2.3." + std::string(40, '9');
  for (const char* text :
       {"0.0.0.0", "1.2.3", "1.2.3.4.5", "1..2.3", "256.1.1.1", "1.2.3.256", "-1.2.3.4", "1.2.3.4x",
        "1.2.3.4\t", "1,2.3.4", "", "host.example", "99999999999999999999.1.1.1", huge.c_str()}) {
    EXPECT_EQ(r_dravip_string_to_ip(text), 0u) << '"' << text << '"';
  }
  // Leading zeros are decimal; an overflow in one scan leaves no trace in the next.
  EXPECT_EQ(r_dravip_string_to_ip("010.0.0.1"), ip(10, 0, 0, 1));
  EXPECT_EQ(r_dravip_string_to_ip("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(r_dravip_string_to_ip("203.0.113.9"), ip(203, 0, 113, 9));
}

TEST(Ip, StringToNetMaskAndIpPort) {
  const std::uint64_t host = ip(1, 2, 3, 4);
  for (const char* text :
       {"1.2.3.4/32", "1.2.3.4", "1.2.3.4 /8", "1.2.3.4/", "1.2.3.4/33", "1.2.3.4/-1", "1.2.3.4/8x",
        "1.2.3.4/255.0.0.0", "1.2.3.4/99999999999999999999", "1.2.3.4:5/8"}) {
    EXPECT_EQ(r_dravip_string_to_net_mask(text), (ts_ip_net_mask{host, 0xFFFFFFFF})) << text;
  }
  const std::pair<const char*, ts_ip_net_mask> networks[] = {
      {"1.2.3.4/24", {ip(1, 2, 3, 0), 0xFFFFFF00}},
      {"10.1.2.3/8", {ip(10, 0, 0, 0), 0xFF000000}},
      {"1.2.3.4/8 a comment", {ip(1, 0, 0, 0), 0xFF000000}},
      {"1.2.3.4/0", {0, 0}},
      {"not an address/8", {0, 0xFFFFFFFF}}};
  for (const auto& [text, expected] : networks) {
    EXPECT_EQ(r_dravip_string_to_net_mask(text), expected) << text;
  }

  for (const char* text : {"1.2.3.4", "1.2.3.4:", "1.2.3.4:65536", "1.2.3.4:-1", "1.2.3.4:80x",
                           "1.2.3.4/24:80", "1.2.3.4:99999999999999999999"}) {
    EXPECT_EQ(r_dravip_string_to_ip_port(text), (ts_ip_port{host, 0})) << text;
  }
  const std::pair<const char*, ts_ip_port> addresses[] = {
      {"198.51.100.4:27960", {ip(198, 51, 100, 4), 27960}},
      {"1.2.3.4:1", {host, 1}},
      {"1.2.3.4:65535 qport", {host, 65535}},
      {"loopback:80", {0, 0}},
      {"bot", {0, 0}}};
  for (const auto& [text, expected] : addresses) {
    EXPECT_EQ(r_dravip_string_to_ip_port(text), expected) << text;
  }
}

TEST(Ip, MasksMatchingAndText) {
  const std::uint64_t address = ip(203, 0, 113, 77);
  const std::pair<int, ts_ip_net_mask> prefixes[] = {{32, {address, 0xFFFFFFFF}},
                                                     {99, {address, 0xFFFFFFFF}},
                                                     {24, {ip(203, 0, 113, 0), 0xFFFFFF00}},
                                                     {1, {0x80000000, 0x80000000}},
                                                     {0, {0, 0}},
                                                     {-5, {0, 0}}};
  for (const auto& [prefix, expected] : prefixes) {
    EXPECT_EQ(r_dravip_get_net_mask(address, prefix), expected) << prefix;
  }
  EXPECT_EQ(r_dravip_check_ip_net_mask(ip(10, 1, 2, 3), ip(10, 0, 0, 0), 0xFF000000), 1);
  EXPECT_EQ(r_dravip_check_ip_net_mask(ip(10, 1, 2, 3), ip(11, 0, 0, 0), 0xFF000000), 0);
  EXPECT_EQ(r_dravip_check_ip_net_mask(ip(192, 0, 2, 1), 0, 0), 1);
  EXPECT_EQ(r_dravip_check_ip_net_mask(ip(192, 0, 2, 1), ip(192, 0, 2, 2), 0xFFFFFFFF), 0);

  EXPECT_STREQ(r_dravip_ip_to_text(0).c_str(), "0.0.0.0");
  EXPECT_STREQ(r_dravip_ip_to_text(0xFFFFFFFF).c_str(), "255.255.255.255");
  EXPECT_STREQ(r_dravip_ip_to_text(ip(198, 51, 100, 200)).c_str(), "198.51.100.200");
  EXPECT_STREQ(r_dravip_ip_to_text(0xABCD'0000'0000'0102).c_str(), "0.0.1.2");
}

TEST(Ip, ResolverOverrideGetsHostOrderAddress) {
  std::uint32_t asked = 0;
  r_dravip_set_resolver([&asked](std::uint32_t address) -> std::optional<ts_hostent> {
    asked = address;
    if (address == ip(192, 0, 2, 7)) {
      return ts_hostent{"player.example", {"alias.example"}};
    }
    return std::nullopt;
  });
  const auto named = r_dravip_get_hostnames(ip(192, 0, 2, 7));
  ASSERT_TRUE(named.has_value());
  EXPECT_EQ(named->name, "player.example");
  EXPECT_EQ(named->aliases, std::vector<std::string>{"alias.example"});
  EXPECT_FALSE(r_dravip_get_hostnames(ip(192, 0, 2, 8)).has_value());
  EXPECT_EQ(asked, ip(192, 0, 2, 8));
  r_dravip_set_resolver({});
}

// The second word of the first line of `path` whose first word is `key`; empty when none.
std::string word_after(const char* path, const std::string& key) {
  std::ifstream file(path);
  std::string line, first, second;
  while (std::getline(file, line)) {
    if (std::istringstream(line) >> first >> second && first == key) {
      return second;
    }
  }
  return {};
}

TEST(Ip, SystemResolverNamesLoopback) {
  // The look-up must stay on this machine.
  const std::string expected = word_after("/etc/hosts", "127.0.0.1");
  if (word_after("/etc/nsswitch.conf", "hosts:") != "files" || expected.empty()) {
    GTEST_SKIP() << "127.0.0.1 is not named by /etc/hosts before any name server";
  }
  r_dravip_set_resolver({});
  const auto entry = r_dravip_get_hostnames(ip(127, 0, 0, 1));
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->name, expected);
}

}  // namespace
