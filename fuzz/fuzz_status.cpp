// The status reply parser on any bytes: what it stores is consistent with the reply's layout,
// and bytes after the last line feed change nothing.
#include <cstring>
#include <string>

#include "drav_statsparse.h"
#include "fuzz_support.h"

namespace {

bool same(const ts_status_reply& a, const ts_status_reply& b) {
  bool equal = a.ab_present == b.ab_present && std::strcmp(a.ac_map, b.ac_map) == 0 &&
               std::strcmp(a.ac_gametype, b.ac_gametype) == 0;
  for (int i = 0; i < MAX_CLIENTS; ++i)
    equal = equal && (!a.ab_present[i] || a.ats_line[i] == b.ats_line[i]);
  return equal;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ts_status_reply reply, again;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const int accepted = r_dravstatsparse_parse_status(text.data(), text.size(), reply);
  FUZZ_CHECK(accepted == 1 || (accepted == 0 && reply.ab_present == decltype(reply.ab_present){}));
  FUZZ_CHECK(accepted == 0 || text.starts_with("Map              : "));
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    const ts_status_line& line = reply.ats_line[i];
    if (reply.ab_present[i] == 0)
      continue;
    const std::size_t length = strnlen(line.ac_name, TEXT_FIELD_SIZE);
    char clean[TEXT_FIELD_SIZE];
    r_dravtools_remove_colors(clean, line.ac_name);
    FUZZ_CHECK(line.i_num == i && length <= TEXT_FIELD_MAX &&
               std::strcmp(clean, line.ac_name_clean) == 0);
    FUZZ_CHECK((length == 0 || line.ac_name[length - 1] != ' ') &&
               std::strchr(line.ac_name, '\n') == nullptr);
    FUZZ_CHECK(line.b_connecting == 0 || (line.i_score == 0 && line.i_ping == 0));
  }
  const std::string cut = text.substr(0, text.rfind('\n') + 1) + "0   0 CNCT unfinished";
  r_dravstatsparse_parse_status(cut.data(), cut.size(), again);
  FUZZ_CHECK(same(reply, again));
  return 0;
}
