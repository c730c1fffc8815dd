// The text tools against their byte-wise definitions.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "drav_tools.h"
#include "fuzz_support.h"

namespace {

void check_cleaning(const std::string& text) {
  std::string colors, namehack, console, eol = text, buffer = text;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 32 || byte == '\n')
      colors += c;
    if (byte == '\r')
      continue;
    namehack += c;
    console += c == '"' ? '\x97' : c == '\'' ? '\x95' : c == '#' || c == '$' ? ' ' : c;
  }
  r_dravtools_remove_colors(buffer.data(), buffer.data());
  FUZZ_CHECK(buffer.c_str() == colors);
  std::vector<char> copy(text.size() + 1);
  r_dravtools_remove_colors_char(copy.data(), text.c_str());
  FUZZ_CHECK(copy.data() == colors);
  r_dravtools_remove_namehack_char(copy.data(), text.c_str());
  FUZZ_CHECK(copy.data() == namehack);
  buffer = text;
  r_dravtools_remove_invalid_console_chars(buffer.data());
  FUZZ_CHECK(buffer.c_str() == console);
  if (eol.ends_with('\n'))
    eol.pop_back();
  if (eol.size() < text.size() && eol.ends_with('\r'))
    eol.pop_back();
  buffer = text;
  FUZZ_CHECK(r_dravtools_remove_eol(buffer.data()) == eol.size() && buffer.c_str() == eol);
  char field[TEXT_FIELD_SIZE];
  std::memset(field, 'x', sizeof field);
  r_dravtools_varcpy(field, text.c_str());
  const std::size_t kept = std::min(text.size(), TEXT_FIELD_MAX);
  FUZZ_CHECK(text.compare(0, kept, field, kept) == 0 &&
             std::all_of(field + kept, field + sizeof field, [](char c) { return c == '\0'; }));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  drav_fuzz::Bytes input(data, size);
  check_cleaning(input.until('\0'));
  return 0;
}
