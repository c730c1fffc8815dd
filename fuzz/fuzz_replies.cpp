// The reply parsers on any bytes stay inside their input and records (storing: parser tests).
#include <string_view>
#include <vector>

#include "drav_statsparse.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly the input's bytes, so that a read past them is caught.
  const std::vector<char> text(data, data + size);
  static ts_status_reply status;
  static ts_dumpuser dumpuser;
  static ts_serverinfo serverinfo;
  r_dravstatsparse_parse_status(text.data(), text.size(), status);
  // Whatever the bytes, a reply taken as whole ends with a line feed (the reply ends at a NUL).
  const std::string_view all(text.data(), text.size());
  const std::string_view read = all.substr(0, all.find('\0'));
  const bool whole = r_dravstatsparse_parse_dumpuser(text.data(), text.size(), dumpuser) == 1;
  FUZZ_CHECK(!whole || read.ends_with('\n'));
  r_dravstatsparse_parse_serverinfo(text.data(), text.size(), serverinfo);
  return 0;
}
