// Address parsing against a strtol dotted scan; addresses, ports and prefixes print and parse back.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>

#include "drav_ip.h"
#include "fuzz_support.h"

namespace {

using namespace std::string_view_literals;

// A number by strtol's rules in 0..high followed by one of `stops`; null when there is none.
const char* number(const char* text, long high, std::string_view stops, long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text, &end, 10);
  const bool valid = errno != ERANGE && end != text && value >= 0 && value <= high;
  return valid && stops.find(*end) != stops.npos ? end : nullptr;
}

const char* scan(const char* text, std::uint32_t& ip) {
  std::uint32_t address = 0;
  long part = 0;
  for (int i = 0; i < 4 && text != nullptr; ++i) {
    text = number(text, 255, i < 3 ? "."sv : "\0 :/"sv, part);
    address = address << 8 | static_cast<std::uint32_t>(part);
    text = text != nullptr && i < 3 ? text + 1 : text;
  }
  ip = text != nullptr ? address : 0;
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  drav_fuzz::Bytes input(data, size);
  const std::uint32_t value = input.u32();
  const int prefix = input.byte() - 64;
  const auto port = static_cast<std::uint16_t>(input.u32());
  const std::string text = input.until('\0');

  std::uint32_t ip = 0;
  const char* end = scan(text.c_str(), ip);
  long suffix = 0;
  FUZZ_CHECK(r_dravip_string_to_ip(text.c_str()) == ip);
  const bool has_prefix =
      end != nullptr && *end == '/' && number(end + 1, 32, "\0 "sv, suffix) != nullptr;
  FUZZ_CHECK(r_dravip_string_to_net_mask(text.c_str()) ==
             r_dravip_get_net_mask(ip, has_prefix ? suffix : 32));
  const bool has_port =
      end != nullptr && *end == ':' && number(end + 1, 65535, "\0 "sv, suffix) != nullptr;
  FUZZ_CHECK(r_dravip_string_to_ip_port(text.c_str()) ==
             (ts_ip_port{ip, static_cast<std::uint16_t>(has_port ? suffix : 0)}));

  const ts_ip_net_mask network = r_dravip_get_net_mask(value, prefix);
  const int length = std::clamp(prefix, 0, 32);
  FUZZ_CHECK(network.mask == gct_mask[length] && network.net == (value & network.mask));
  const std::string dotted = r_dravip_ip_to_text(value | std::uint64_t{port} << 32).c_str();
  FUZZ_CHECK(dotted.size() <= 15 && r_dravip_string_to_ip(dotted.c_str()) == value);
  FUZZ_CHECK(r_dravip_string_to_ip_port((dotted + ":" + std::to_string(port)).c_str()) ==
             (ts_ip_port{value, port}));
  FUZZ_CHECK(r_dravip_string_to_net_mask((dotted + "/" + std::to_string(length)).c_str()) ==
             network);
  return 0;
}
