// Feeds every file below the given folders to the harness once: the corpus
// as a regression test, built without libFuzzer.
#include <cstddef>
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
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[i], error)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
      std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
      (void)LLVMFuzzerTestOneInput(data.data(), data.size());
      ++replayed;
    }
    if (error) {
      std::fprintf(stderr, "cannot read %s: %s\n", argv[i], error.message().c_str());
      return 1;
    }
  }
  std::printf("replayed %zu inputs\n", replayed);
  return 0;
}
