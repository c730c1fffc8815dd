// The dumpuser reply parser on any bytes: always accepted, the clean name is the name without
// colour codes, absent keys leave their fields empty, and bytes after the last line feed change
// nothing.
#include <cstring>
#include <string>

#include "drav_statsparse.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ts_dumpuser info, again;
  const std::string text(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(r_dravstatsparse_parse_dumpuser(text.data(), text.size(), info) == 1);
  char clean[TEXT_FIELD_SIZE];
  r_dravtools_remove_colors(clean, info.ac_name);
  FUZZ_CHECK(strnlen(info.ac_name, TEXT_FIELD_SIZE) <= TEXT_FIELD_MAX &&
             std::strcmp(clean, info.ac_name_clean) == 0);
  FUZZ_CHECK(info.ab_found[11] == 1 || info.ac_name[0] == '\0');
  FUZZ_CHECK(info.ab_found[12] == 1 || info.ts_address == ts_ip_port{});
  const std::string cut = text.substr(0, text.rfind('\n') + 1) + "name                Blue";
  r_dravstatsparse_parse_dumpuser(cut.data(), cut.size(), again);
  FUZZ_CHECK(again == info);
  return 0;
}
