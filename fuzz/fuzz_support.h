// Fuzz target helpers: checks, values from the input, scratch files, fatal errors that unwind.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "drav_log.h"
#include "files.h"

namespace drav_fuzz {

#define FUZZ_CHECK(c)                                                                \
  ((c) ? (void)0                                                                     \
       : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #c), \
          std::abort()))

/// What a fatal error throws in the targets, so that a bad file ends one input, not the run.
struct Fatal {
  std::string message;
};
inline const bool gb_fatal_throws =
    (r_dravlog_set_fatal_handler([](const char* message) { throw Fatal{message}; }), true);

/// Takes values off the front of the input; past its end everything reads as 0 or empty.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}
  bool empty() const { return rest_.empty(); }
  std::uint8_t byte() {
    const std::uint8_t value = rest_.empty() ? 0 : static_cast<std::uint8_t>(rest_[0]);
    rest_.remove_prefix(rest_.empty() ? 0 : 1);
    return value;
  }
  std::uint32_t u32() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
      value = value << 8 | byte();
    return value;
  }
  /// The bytes up to the next `end` (which is dropped) or to the input's end.
  std::string until(char end) {
    const std::size_t at = rest_.find(end);
    std::string text(rest_.substr(0, at));
    rest_.remove_prefix(at == std::string_view::npos ? rest_.size() : at + 1);
    return text;
  }

 private:
  std::string_view rest_;
};

/// Path of `name` in this process's folder, in memory-backed storage if any, removed at exit.
inline std::string scratch(const std::string& name) {
  static const drav_test::TempDir folder(access("/dev/shm", W_OK) == 0
                                             ? "/dev/shm"
                                             : std::filesystem::temp_directory_path());
  return folder.file(name);
}

}  // namespace drav_fuzz
