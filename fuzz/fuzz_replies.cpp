// The three reply parsers on any bytes: what they store is consistent with the reply layouts,
// texts stay within their fields, and bytes after the last line feed change nothing.
#include <cstring>
#include <string>
#include <string_view>

#include "drav_statsparse.h"
#include "fuzz_support.h"

namespace {

void status(const std::string& text) {
  static ts_status_reply reply, again;
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
  bool same = reply.ab_present == again.ab_present &&
              std::strcmp(reply.ac_map, again.ac_map) == 0 &&
              std::strcmp(reply.ac_gametype, again.ac_gametype) == 0;
  for (int i = 0; i < MAX_CLIENTS; ++i)
    same = same && (!reply.ab_present[i] || reply.ats_line[i] == again.ats_line[i]);
  FUZZ_CHECK(same);
}

// Always accepted; absent keys leave their fields empty.
void dumpuser(const std::string& text) {
  static ts_dumpuser info, again;
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
}

void serverinfo(const std::string& text) {
  static ts_serverinfo info, again;
  const int accepted = r_dravstatsparse_parse_serverinfo(text.data(), text.size(), info);
  // Accepted exactly when a whole line, read from the second byte on, starts with the marker.
  const std::string_view copy(text.c_str());
  bool marker = false;
  for (std::size_t start = copy.empty() ? 0 : 1, end; (end = copy.find('\n', start)) != copy.npos;
       start = end + 1)
    marker = marker || copy.substr(start, end - start).starts_with("Server info settings:");
  FUZZ_CHECK(accepted == (marker ? 1 : 0));
  for (const char* field : {info.ac_mapname, info.ac_gamedate, info.ac_gamename, info.ac_version,
                            info.ac_hostname, info.ac_user})
    FUZZ_CHECK(strnlen(field, TEXT_FIELD_SIZE) <= TEXT_FIELD_MAX);
  const std::string cut = text.substr(0, text.rfind('\n') + 1) + "Server info settings:";
  FUZZ_CHECK(r_dravstatsparse_parse_serverinfo(cut.data(), cut.size(), again) == accepted &&
             again == info);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  status(text);
  dumpuser(text);
  serverinfo(text);
  return 0;
}
