// Replays saved fuzz inputs through a fuzz target without libFuzzer, so the
// normal test suite keeps every corpus entry and past crasher passing.
//   <target>_replay PATH...     each PATH is a file or a directory (recursive)
// A missing path is skipped (git keeps no empty directories), but replaying
// nothing at all fails: a replay test over an empty corpus could never fail.
// Files run in sorted order, each named before it runs, so the last name
// printed before a crash is the culprit.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

namespace fs = std::filesystem;

bool collect(const fs::path &root, std::vector<fs::path> &files) {
  std::error_code ec;
  if (!fs::exists(root, ec))
    return true;
  if (!fs::is_directory(root, ec)) {
    files.push_back(root);
    return true;
  }
  std::vector<fs::path> found;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file(ec))
      found.push_back(it->path());
  if (ec) {
    std::fprintf(stderr, "cannot list %s: %s\n", root.c_str(), ec.message().c_str());
    return false;
  }
  std::sort(found.begin(), found.end());
  files.insert(files.end(), found.begin(), found.end());
  return true;
}

} // namespace

int main(int argc, char **argv) {
  if (LLVMFuzzerInitialize)
    LLVMFuzzerInitialize(&argc, &argv);
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i)
    if (!collect(argv[i], files))
      return 1;
  for (const fs::path &file : files) {
    std::printf("replaying %s\n", file.c_str());
    std::fflush(stdout);
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      std::fprintf(stderr, "cannot read %s\n", file.c_str());
      return 1;
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  }
  if (files.empty()) {
    std::fprintf(stderr, "no inputs to replay\n");
    return 1;
  }
  std::printf("replayed %zu inputs\n", files.size());
  return 0;
}
