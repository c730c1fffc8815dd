// The serverinfo reply parser on any bytes: accepted exactly when a line read from the second
// byte on begins with the settings marker; texts stay terminated; bytes after the last line
// feed change nothing.
#include <cstring>
#include <string>
#include <string_view>

#include "drav_statsparse.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ts_serverinfo info, again;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const int accepted = r_dravstatsparse_parse_serverinfo(text.data(), text.size(), info);
  const std::string_view copy(text.c_str());
  bool marker = false;
  for (std::size_t start = copy.empty() ? 0 : 1, end; (end = copy.find('\n', start)) != copy.npos;
       start = end + 1) {
    marker = marker || copy.substr(start, end - start).starts_with("Server info settings:");
  }
  FUZZ_CHECK(accepted == (marker ? 1 : 0));
  for (const char* field : {info.ac_mapname, info.ac_gamedate, info.ac_gamename, info.ac_version,
                            info.ac_hostname, info.ac_user}) {
    FUZZ_CHECK(strnlen(field, TEXT_FIELD_SIZE) <= TEXT_FIELD_MAX);
  }
  const std::string cut = text.substr(0, text.rfind('\n') + 1) + "Server info settings:";
  FUZZ_CHECK(r_dravstatsparse_parse_serverinfo(cut.data(), cut.size(), again) == accepted &&
             again == info);
  return 0;
}
