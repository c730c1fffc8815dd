// The access list on any pair of files (additions, then main), every lookup and ban checked
// against a first-covering-entry walk of the list, whose entries come from each line read
// alone; then a restart must read the bans back (exact lines: the access test).
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_ip.h"
#include "fuzz_support.h"

namespace {

constexpr char BAN_COMMENT[] = "\x02Red \xE9";

struct Entry {
  std::int32_t level;
  ts_ip_net_mask network;
  std::string comment;
  bool operator==(const Entry&) const = default;
};

// The entries of a file, each line read alone; nothing when the list refuses a line.
std::optional<std::vector<Entry>> entries_of(std::string_view bytes) {
  static ts_config alone;
  static const std::string path = drav_fuzz::scratch("line.txt");
  std::strcpy(alone.access_list_file, path.c_str());
  std::vector<Entry> entries;
  while (!bytes.empty()) {
    std::string line(bytes.substr(0, std::min(bytes.find('\n'), bytes.size() - 1) + 1));
    bytes.remove_prefix(line.size());
    drav_test::write_file(path, line);
    try {
      r_dravaccess_init(alone);
    } catch (const drav_fuzz::Fatal&) {
      return std::nullopt;
    }
    if (r_dravaccess_get_entry_count() == 0)
      continue;
    r_dravtools_remove_eol(line.data());
    const ts_ip_net_mask network = r_dravip_string_to_net_mask(line.c_str() + 2);
    char comment[TEXT_FIELD_SIZE];
    entries.push_back({r_dravaccess_get_access_level(network.net, comment), network, comment});
  }
  return entries;
}

std::optional<std::vector<Entry>> load(const ts_config& config) {
  auto add = entries_of(drav_test::read_file(config.access_list_file_add));
  const auto main = entries_of(drav_test::read_file(config.access_list_file));
  try {
    r_dravaccess_init(config);
  } catch (const drav_fuzz::Fatal&) {
    FUZZ_CHECK(!add || !main);
    return std::nullopt;
  }
  FUZZ_CHECK(add && main);
  add->insert(add->end(), main->begin(), main->end());
  return add;
}

void check_lookup(const std::vector<Entry>& list, std::uint64_t ip) {
  const Entry none{ACCESS_LEVEL_DEFAULT, {}, ""};
  const auto first = std::find_if(list.begin(), list.end(), [ip](const Entry& entry) {
    return (ip & entry.network.mask) == entry.network.net;
  });
  const Entry& expected = first == list.end() ? none : *first;
  char comment[TEXT_FIELD_SIZE];
  std::memset(comment, 'x', sizeof comment);
  FUZZ_CHECK(r_dravaccess_get_access_level(ip, comment) == expected.level &&
             expected.comment == comment);
  FUZZ_CHECK(r_dravaccess_get_access_level(ip, nullptr) == expected.level);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string add_file = drav_fuzz::scratch("access-add.txt"),
                           main_file = drav_fuzz::scratch("access.txt");
  static ts_config config;
  std::strcpy(config.access_list_file_add, add_file.c_str());
  std::strcpy(config.access_list_file, main_file.c_str());
  drav_fuzz::Bytes input(data, size);
  std::string additions = input.until('\0');
  // Appending to a file whose last line has no line feed is a separate concern of the writer.
  if (!additions.empty() && !additions.ends_with('\n'))
    additions += '\n';
  std::remove(add_file.c_str());
  if (!additions.empty())
    drav_test::write_file(add_file, additions);
  drav_test::write_file(main_file, input.until('\0'));
  // Read before the list is loaded: reading lines alone reloads it.
  const auto old_additions = entries_of(additions).value_or(std::vector<Entry>{});
  auto list = load(config);
  if (!list) {
    r_dravaccess_finish();
    return 0;
  }
  std::vector<Entry> bans;
  std::vector<std::uint64_t> looked_up;
  for (int i = 0; i < 512 && !input.empty(); ++i) {
    const std::uint8_t op = input.byte();
    std::uint64_t ip = input.u32();
    if ((op & 2) != 0 && !list->empty()) {  // an address inside a listed network
      const ts_ip_net_mask& network = (*list)[(op >> 2) % list->size()].network;
      ip = network.net | (ip & ~network.mask & 0xFFFFFFFF);
    }
    if ((op & 1) != 0) {
      const std::int32_t level = (op >> 2) % 10;
      r_dravaccess_add_ip(ip, BAN_COMMENT, "Client banned by admin", level);
      list->insert(list->begin(), Entry{level, r_dravip_get_net_mask(ip, 32), ""});
      bans.push_back({level, r_dravip_get_net_mask(ip, 32), BAN_COMMENT});
    }
    check_lookup(*list, ip);
    looked_up.push_back(ip);
  }
  list = load(config);
  FUZZ_CHECK(list && list->size() >= old_additions.size() + bans.size());
  FUZZ_CHECK(std::equal(bans.begin(), bans.end(), list->begin() + old_additions.size()));
  for (const std::uint64_t ip : looked_up)
    check_lookup(*list, ip);
  r_dravaccess_finish();
  return 0;
}
