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
  struct Case {
    const char* text;
    std::uint64_t expected;
  };
  const std::string huge = "1.2.3." + std::string(40, '9');
  for (const Case& c : {
           Case{"192.0.2.7", ip(192, 0, 2, 7)},
           Case{"1.2.3.4 rest", ip(1, 2, 3, 4)},
           Case{"1.2.3.4:99", ip(1, 2, 3, 4)},
           Case{"1.2.3.4/8", ip(1, 2, 3, 4)},
           Case{" 1.2.3.4", ip(1, 2, 3, 4)},
           Case{"01.002.3.4", ip(1, 2, 3, 4)},
           Case{"010.0.0.1", ip(10, 0, 0, 1)},
           Case{"255.255.255.255", 0xFFFFFFFF},
           Case{"0.0.0.0", 0},
           Case{"1.2.3", 0},
           Case{"1.2.3.4.5", 0},
           Case{"1..2.3", 0},
           Case{"256.1.1.1", 0},
           Case{"1.2.3.256", 0},
           Case{"-1.2.3.4", 0},
           Case{"1.2.3.4x", 0},
           Case{"1.2.3.4\t", 0},
           Case{"1,2.3.4", 0},
           Case{"", 0},
           Case{"host.example", 0},
           Case{"99999999999999999999.1.1.1", 0},
           Case{huge.c_str(), 0},
       }) {
    EXPECT_EQ(r_dravip_string_to_ip(c.text), c.expected) << '"' << c.text << '"';
  }
  // An overflow in one scan leaves no trace in the next.
  EXPECT_EQ(r_dravip_string_to_ip("203.0.113.9"), ip(203, 0, 113, 9));
}

TEST(Ip, StringToNetMask) {
  struct Case {
    const char* text;
    ts_ip_net_mask expected;
  };
  for (const Case& c : {
           Case{"1.2.3.4/24", {ip(1, 2, 3, 0), 0xFFFFFF00}},
           Case{"10.1.2.3/8", {ip(10, 0, 0, 0), 0xFF000000}},
           Case{"1.2.3.4/8 a comment", {ip(1, 0, 0, 0), 0xFF000000}},
           Case{"1.2.3.4/0", {0, 0}},
           Case{"1.2.3.4/32", {ip(1, 2, 3, 4), 0xFFFFFFFF}},
           Case{"1.2.3.4", {ip(1, 2, 3, 4), 0xFFFFFFFF}},
           Case{"1.2.3.4 /8", {ip(1, 2, 3, 4), 0xFFFFFFFF}},
           Case{"1.2.3.4/", {ip(1, 2, 3, 4), 0xFFFFFFFF}},
           Case{"1.2.3.4/33", {ip(1, 2, 3, 4), 0xFFFFFFFF}},
           Case{"1.2.3.4/-1", {ip(1, 2, 3, 4), 0xFFFFFFFF}},
           Case{"1.2.3.4/8x", {ip(1, 2, 3, 4), 0xFFFFFFFF}},
           Case{"1.2.3.4/255.0.0.0", {ip(1, 2, 3, 4), 0xFFFFFFFF}},
           Case{"1.2.3.4/99999999999999999999", {ip(1, 2, 3, 4), 0xFFFFFFFF}},
           Case{"1.2.3.4:5/8", {ip(1, 2, 3, 4), 0xFFFFFFFF}},
           Case{"not an address/8", {0, 0xFFFFFFFF}},
       }) {
    EXPECT_EQ(r_dravip_string_to_net_mask(c.text), c.expected) << '"' << c.text << '"';
  }
}

TEST(Ip, StringToIpPort) {
  struct Case {
    const char* text;
    ts_ip_port expected;
  };
  for (const Case& c : {
           Case{"198.51.100.4:27960", {ip(198, 51, 100, 4), 27960}},
           Case{"1.2.3.4:1", {ip(1, 2, 3, 4), 1}},
           Case{"1.2.3.4:65535 qport", {ip(1, 2, 3, 4), 65535}},
           Case{"1.2.3.4", {ip(1, 2, 3, 4), 0}},
           Case{"1.2.3.4:", {ip(1, 2, 3, 4), 0}},
           Case{"1.2.3.4:65536", {ip(1, 2, 3, 4), 0}},
           Case{"1.2.3.4:-1", {ip(1, 2, 3, 4), 0}},
           Case{"1.2.3.4:80x", {ip(1, 2, 3, 4), 0}},
           Case{"1.2.3.4/24:80", {ip(1, 2, 3, 4), 0}},
           Case{"1.2.3.4:99999999999999999999", {ip(1, 2, 3, 4), 0}},
           Case{"loopback:80", {0, 0}},
           Case{"bot", {0, 0}},
       }) {
    EXPECT_EQ(r_dravip_string_to_ip_port(c.text), c.expected) << '"' << c.text << '"';
  }
}

TEST(Ip, MasksAndMatching) {
  EXPECT_EQ(gct_mask[0], 0u);
  EXPECT_EQ(gct_mask[1], 0x80000000u);
  EXPECT_EQ(gct_mask[24], 0xFFFFFF00u);
  EXPECT_EQ(gct_mask[31], 0xFFFFFFFEu);
  EXPECT_EQ(gct_mask[32], 0xFFFFFFFFu);

  const std::uint64_t address = ip(203, 0, 113, 77);
  struct Case {
    int prefix;
    ts_ip_net_mask expected;
  };
  for (const Case& c :
       {Case{32, {address, 0xFFFFFFFF}}, Case{99, {address, 0xFFFFFFFF}},
        Case{24, {ip(203, 0, 113, 0), 0xFFFFFF00}}, Case{0, {0, 0}}, Case{-5, {0, 0}}}) {
    EXPECT_EQ(r_dravip_get_net_mask(address, c.prefix), c.expected) << c.prefix;
  }

  EXPECT_EQ(r_dravip_check_ip_net_mask(ip(10, 1, 2, 3), ip(10, 0, 0, 0), 0xFF000000), 1);
  EXPECT_EQ(r_dravip_check_ip_net_mask(ip(10, 1, 2, 3), ip(11, 0, 0, 0), 0xFF000000), 0);
  EXPECT_EQ(r_dravip_check_ip_net_mask(ip(192, 0, 2, 1), 0, 0), 1);
  EXPECT_EQ(r_dravip_check_ip_net_mask(ip(192, 0, 2, 1), ip(192, 0, 2, 2), 0xFFFFFFFF), 0);
}

TEST(Ip, IpToText) {
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

// The first name /etc/hosts gives 127.0.0.1, when the host table is consulted before any
// name server; empty otherwise (the look-up must stay on this machine).
std::string local_host_name() {
  std::ifstream nsswitch("/etc/nsswitch.conf");
  std::string line;
  bool files_first = false;
  while (std::getline(nsswitch, line)) {
    std::istringstream words(line);
    std::string key, first;
    if (words >> key >> first && key == "hosts:") {
      files_first = first == "files";
    }
  }
  if (!files_first) {
    return {};
  }
  std::ifstream hosts("/etc/hosts");
  while (std::getline(hosts, line)) {
    std::istringstream words(line);
    std::string address, name;
    if (words >> address >> name && address == "127.0.0.1") {
      return name;
    }
  }
  return {};
}

TEST(Ip, SystemResolverNamesLoopback) {
  const std::string expected = local_host_name();
  if (expected.empty()) {
    GTEST_SKIP() << "127.0.0.1 is not named by /etc/hosts before any name server";
  }
  r_dravip_set_resolver({});
  const auto entry = r_dravip_get_hostnames(ip(127, 0, 0, 1));
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->name, expected);
}

}  // namespace
