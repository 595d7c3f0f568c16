// Replays saved fuzz inputs through a fuzz target without libFuzzer, so the
// normal test suite keeps every corpus entry and past crasher passing.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    std::filesystem::path root(argv[i]);
    if (!std::filesystem::exists(root, ec))
      continue;
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(root, ec)) {
      for (const auto &entry : std::filesystem::recursive_directory_iterator(root, ec))
        if (entry.is_regular_file())
          files.push_back(entry.path());
    } else {
      files.push_back(root);
    }
    for (const auto &file : files) {
      std::ifstream in(file, std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
      ++count;
    }
  }
  std::printf("replayed %d inputs\n", count);
  return 0;
}
