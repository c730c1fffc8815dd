// The text tools against their byte-wise definitions, the key-table tokeniser against a walk
// for the first key that prefixes the line, and the binary search against a linear one.
#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "drav_tools.h"
#include "fuzz_support.h"

namespace {

struct Row {
  std::string key;
  char text[TEXT_FIELD_SIZE];
  std::int32_t integer = 7, found = 7, expected_found = 0;
  double real = 7;
};

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

void check_table(drav_fuzz::Bytes& input) {
  std::array<Row, 5> rows;
  std::vector<ts_parse_entry> table;
  const std::size_t count = input.byte() % (rows.size() + 1);
  for (std::size_t i = 0; i < count; ++i) {
    Row& row = rows[i];
    const auto type = static_cast<te_parse_type>(input.byte() % 5);
    row.key = input.until('\n').c_str();
    table.push_back({type, row.text, &row.integer, &row.real, &row.found, row.key.c_str()});
  }
  table.push_back({PARSE_MARKER, nullptr, nullptr, nullptr, nullptr, nullptr});
  r_dravtools_parse_init(table.data());
  for (std::size_t i = 0; i < count; ++i)
    FUZZ_CHECK((table[i].te_type != PARSE_TEXT || rows[i].text[0] == '\0') &&
               (table[i].te_type != PARSE_INT || rows[i].integer == 0) &&
               (table[i].te_type != PARSE_DOUBLE || rows[i].real == 0) && rows[i].found == 0);
  for (int lines = 0; lines < 32 && !input.empty(); ++lines) {
    const std::string line = input.until('\n').c_str();
    const auto match = std::find_if(rows.begin(), rows.begin() + count,
                                    [&](const Row& row) { return line.starts_with(row.key); });
    FUZZ_CHECK(r_dravtools_parse_data(table.data(), line.c_str()) ==
               (match != rows.begin() + count ? 1 : 0));
    if (match == rows.begin() + count)
      continue;
    match->expected_found = 1;
    const std::string value = line.substr(match->key.size());
    const double real = std::strtod(value.c_str(), nullptr);
    switch (table[match - rows.begin()].te_type) {
      case PARSE_TEXT:
        FUZZ_CHECK(value.substr(0, TEXT_FIELD_MAX) == match->text);
        break;
      case PARSE_INT:
        FUZZ_CHECK(match->integer ==
                   std::clamp<long>(std::strtol(value.c_str(), nullptr, 10), INT32_MIN, INT32_MAX));
        break;
      case PARSE_DOUBLE:
        FUZZ_CHECK(match->real == real || (std::isnan(real) && std::isnan(match->real)));
        break;
      default:
        break;
    }
  }
  for (std::size_t i = 0; i < count; ++i)
    FUZZ_CHECK(rows[i].found == rows[i].expected_found);
}

void check_search(const std::string& text) {
  std::vector<std::uint16_t> sorted(text.begin(), text.end());
  std::transform(sorted.begin(), sorted.end(), sorted.begin(),
                 [](std::uint16_t c) { return c & 0xFF; });
  std::sort(sorted.begin(), sorted.end());
  const auto compare = [](const void* key, const void* element) {
    return *static_cast<const std::uint16_t*>(key) - *static_cast<const std::uint16_t*>(element);
  };
  for (std::uint16_t key = 0; key <= 256; ++key) {
    std::size_t index = SIZE_MAX;
    const void* found =
        r_dravtools_blocate(&key, sorted.data(), sorted.size(), sizeof key, compare, &index);
    const auto lower = std::lower_bound(sorted.begin(), sorted.end(), key);
    const bool present = lower != sorted.end() && *lower == key;
    FUZZ_CHECK(present
                   ? found == sorted.data() + index && sorted[index] == key
                   : found == nullptr && index == static_cast<std::size_t>(lower - sorted.begin()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  drav_fuzz::Bytes input(data, size);
  const std::string text = input.until('\0');
  check_cleaning(text);
  check_search(text);
  check_table(input);
  return 0;
}
