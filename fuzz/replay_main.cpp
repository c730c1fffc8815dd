// Replays the empty input and the named folders' files without libFuzzer; failures abort.
#include <algorithm>
#include <filesystem>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i)
    for (const auto& entry : std::filesystem::directory_iterator(argv[i]))
      inputs.push_back(entry.path());
  std::sort(inputs.begin(), inputs.end());
  const std::uint8_t empty[1] = {};
  LLVMFuzzerTestOneInput(empty, 0);
  for (const auto& path : inputs) {
    const std::string bytes = drav_test::read_file(path);
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  return 0;
}
