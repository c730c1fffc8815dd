// The IP history on any file and sightings: sorted, each address/name/host-names triple once,
// one file line per new triple, and the same list after a restart (names cut at a backslash).
#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_listip.h"
#include "fuzz_support.h"

namespace {

using Key =
    std::tuple<std::uint64_t, std::string, std::string, std::int32_t, std::int32_t, std::int32_t>;

Key key_of(const ts_listip_data& entry) {
  return {entry.ip, entry.name, entry.hostnames, entry.year, entry.month, entry.day};
}

std::vector<Key> snapshot() {
  std::vector<Key> keys;
  for (const ts_listip_data& entry : r_dravlistip_get_list())
    keys.push_back(key_of(entry));
  return keys;
}

bool in_order(const ts_listip_data& a, const ts_listip_data& b) {
  return std::forward_as_tuple(a.ip, std::string_view(a.name), std::string_view(a.hostnames)) <
         std::forward_as_tuple(b.ip, std::string_view(b.name), std::string_view(b.hostnames));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = drav_fuzz::scratch("history.txt");
  static ts_config config;
  r_dravaccess_init(config);  // no access list: every level is 1
  std::strcpy(config.log_file_ip, path.c_str());
  drav_fuzz::Bytes input(data, size);
  std::string history = input.until('\0');
  // Appending to a file whose last line has no line feed is a separate concern of the writer.
  if (!history.empty() && !history.ends_with('\n'))
    history += '\n';
  drav_test::write_file(path, history);
  try {
    r_dravlistip_init(config);
  } catch (const drav_fuzz::Fatal& fatal) {
    // Only a line too short or without an address is refused: the history ends every line.
    FUZZ_CHECK(fatal.message.starts_with("./src/drav_listip - Invalid line in " + path) &&
               (fatal.message.find(" is too short): ") != std::string::npos ||
                fatal.message.find(" has no address): ") != std::string::npos));
    r_dravlistip_finish();
    r_dravaccess_finish();
    return 0;
  }
  std::vector<Key> expected = snapshot();
  for (int i = 0; i < 16 && !input.empty(); ++i) {
    const std::uint64_t ip = 0xC0000200u | input.byte();  // 192.0.2.x
    // A name is a status column; host names come without line breaks, within the line limit.
    const std::string name = input.until('\n').substr(0, TEXT_FIELD_MAX);
    std::string hosts = input.until('\n').substr(0, 1000);
    std::erase(hosts, '\r');
    const ts_listip_data sighting{0, 0, 0, ip, name.c_str(), hosts.c_str(), 0};
    const auto before = r_dravlistip_get_list();
    const bool known = std::any_of(before.begin(), before.end(), [&](const ts_listip_data& entry) {
      return !in_order(entry, sighting) && !in_order(sighting, entry);
    });
    const std::size_t count = before.size(), file_size = drav_test::read_file(path).size();
    r_dravlistip_add_ip_name(ip, name.c_str(),
                             hosts.empty() && i % 2 == 0 ? nullptr : hosts.c_str());
    const auto after = r_dravlistip_get_list();
    FUZZ_CHECK(after.size() == count + (known ? 0 : 1) &&
               std::is_sorted(after.begin(), after.end(), in_order));
    FUZZ_CHECK((drav_test::read_file(path).size() > file_size) == !known);
    const auto added = std::lower_bound(after.begin(), after.end(), sighting, in_order);
    FUZZ_CHECK(added != after.end() && !in_order(sighting, *added));
    if (known)
      continue;
    Key key = key_of(*added);
    const std::string line = std::get<1>(key) + "\\" + std::get<2>(key);
    std::get<1>(key) = line.substr(0, line.find('\\'));
    std::get<2>(key) = line.substr(line.find('\\') + 1);
    expected.push_back(key);
  }
  r_dravlistip_init(config);
  std::vector<Key> reloaded = snapshot();
  std::sort(expected.begin(), expected.end());
  std::sort(reloaded.begin(), reloaded.end());
  FUZZ_CHECK(reloaded == expected);
  r_dravlistip_finish();
  r_dravaccess_finish();
  return 0;
}
