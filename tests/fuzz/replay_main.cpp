// Replays every file of the given folders through a fuzz target's
// LLVMFuzzerTestOneInput, as the libFuzzer binary would on its corpus. A
// fault aborts (under the sanitizers, with a report); an empty or missing
// corpus is an error, so the test cannot pass by finding nothing.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(argv[i], ec)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      // An exact-size heap copy, so the sanitizers see any read past the input.
      std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
      auto* data = new std::uint8_t[bytes.size() ? bytes.size() : 1];
      std::copy(bytes.begin(), bytes.end(), data);
      LLVMFuzzerTestOneInput(data, bytes.size());
      delete[] data;
      ++replayed;
    }
    if (ec) {
      std::fprintf(stderr, "cannot read corpus %s: %s\n", argv[i], ec.message().c_str());
      return 2;
    }
  }
  std::printf("replayed %zu inputs\n", replayed);
  return replayed > 0 ? 0 : 1;
}
