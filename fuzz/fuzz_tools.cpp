// Text tools on any bytes: cleaning in place equals a copy's, never grows; a field keeps the start.
#include <cstring>
#include <string>
#include <string_view>

#include "drav_tools.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  drav_fuzz::Bytes input(data, size);
  const std::string text = input.until('\0');
  for (const auto clean : {r_dravtools_remove_colors, r_dravtools_remove_colors_char,
                           r_dravtools_remove_namehack_char}) {
    std::string in_place = text, copy(text.size(), 'x');
    clean(in_place.data(), in_place.data());
    clean(copy.data(), text.c_str());
    FUZZ_CHECK(std::string_view(in_place.c_str()) == copy.c_str());
  }
  std::string buffer = text;
  r_dravtools_remove_invalid_console_chars(buffer.data());
  FUZZ_CHECK(std::strlen(buffer.c_str()) <= text.size());
  buffer = text;
  FUZZ_CHECK(r_dravtools_remove_eol(buffer.data()) == std::strlen(buffer.c_str()));
  char field[TEXT_FIELD_SIZE];
  r_dravtools_varcpy(field, text.c_str());
  FUZZ_CHECK(field[TEXT_FIELD_MAX] == '\0' && text.starts_with(field));
  return 0;
}
