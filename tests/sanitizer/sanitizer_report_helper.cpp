// Makes one sanitizer report, chosen by its argument, so that a test can
// see how the process ends: "address" (a read after free), "undefined" (a
// signed overflow), "leak" (a block lost at exit), or "none", which ends
// normally with status 0.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void *volatile sink;

int readAfterFree() {
  // Kept where the compiler cannot follow it, so it does not refuse the read.
  char *volatile block = static_cast<char *>(std::malloc(16));
  std::memset(block, 'x', 16);
  std::free(block);
  return block[3];
}

int overflow(int by) {
  volatile int largest = INT_MAX;
  return largest + by;
}

} // namespace

int main(int argc, char **argv) {
  const char *mode = argc > 1 ? argv[1] : "";
  int result = 0;
  if (std::strcmp(mode, "address") == 0)
    result = readAfterFree();
  else if (std::strcmp(mode, "undefined") == 0)
    result = overflow(argc);
  else if (std::strcmp(mode, "leak") == 0) {
    sink = std::malloc(64);
    sink = nullptr;
  } else if (std::strcmp(mode, "none") != 0)
    return 3;
  std::printf("%d\n", result);
  return 0;
}
