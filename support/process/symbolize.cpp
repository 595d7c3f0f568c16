// Symbolizing a backtrace with the external symbolizer: each frame becomes
// "object 0xoffset" in an input file, the symbolizer answers with pairs of
// lines (function, then file and line) and an empty line per frame, and the
// answer becomes the numbered listing. The listing is built whole before it
// is printed, so a symbolizer that answers short leaves no half listing in
// front of the raw one. The symbolizer runs as a filter through pipes
// (runFilter), bounded in time and in the size of its answer.
#include "support/process/crash_report.h"

#include "support/cmdline/library_options.h"
#include "support/process/paths.h"
#include "support/process/run_program.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <link.h>
#include <string>
#include <vector>

namespace vetline {
namespace {

constexpr std::string_view symbolizerName = "orvane-symbolizer";
constexpr int maxFrames = 256;
// The symbolizer gets five seconds, from its start to its end; then its
// process group is killed and the raw listing is printed. Its answer may
// be 1 MiB long (256 frames with a few inlined calls each take tens of
// kilobytes); a longer one is not read further, and counts as a failure.
constexpr int symbolizerTimeLimitMilliseconds = 5000;
constexpr size_t symbolizerOutputCap = size_t(1) << 20;

// The loaded object of each frame and the frame's offset into it; a frame
// outside every object has no name.
struct FrameModules {
  const char *mainExecutable;
  bool isFirstObject;
  void *const *addresses;
  int depth;
  const char *names[maxFrames];
  uintptr_t offsets[maxFrames];
};

int findFrameModules(struct dl_phdr_info *info, size_t, void *data) {
  FrameModules &frames = *static_cast<FrameModules *>(data);
  // The first object is the executable, whose name the loader leaves empty.
  const char *name = frames.isFirstObject ? frames.mainExecutable : info->dlpi_name;
  frames.isFirstObject = false;
  for (int i = 0; i < frames.depth; ++i) {
    uintptr_t address = reinterpret_cast<uintptr_t>(frames.addresses[i]);
    for (ElfW(Half) h = 0; h < info->dlpi_phnum; ++h) {
      const ElfW(Phdr) &segment = info->dlpi_phdr[h];
      if (segment.p_type != PT_LOAD)
        continue;
      uintptr_t start = info->dlpi_addr + segment.p_vaddr;
      if (address >= start && address < start + segment.p_memsz) {
        frames.names[i] = name;
        frames.offsets[i] = address - info->dlpi_addr;
      }
    }
  }
  return 0;
}

// ORVANE_SYMBOLIZER_PATH when it names an existing file, else the
// symbolizer next to the program, else the one along PATH.
bool findSymbolizer(std::string_view program, std::string &path) {
  if (const char *named = std::getenv("ORVANE_SYMBOLIZER_PATH")) {
    if (!lookUpProgram(named, path) && fileExists(path))
      return true;
  } else if (std::string_view directory = directoryOf(program); !directory.empty()) {
    const std::string_view directories[] = {directory};
    if (!lookUpProgram(symbolizerName, path, directories))
      return true;
  }
  return !lookUpProgram(symbolizerName, path);
}

std::string symbolizerInput(const FrameModules &frames) {
  std::string input;
  StringOutputStream os(input);
  for (int i = 0; i < frames.depth; ++i)
    if (frames.names[i])
      os << frames.names[i] << ' ' << paddedHex(frames.offsets[i], 0) << '\n';
  return input;
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (true) {
    size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos)
      return lines;
    text.remove_prefix(end + 1);
  }
}

// The numbered listing from the symbolizer's answer; false when the answer
// runs out of lines.
bool formatListing(const FrameModules &frames, std::string_view answer, std::string &listing) {
  std::vector<std::string_view> lines = splitLines(answer);
  size_t next = 0;
  unsigned frameNumber = 0;
  unsigned headerWidth = static_cast<unsigned>(std::log10(frames.depth) + 2);
  StringOutputStream os(listing);
  auto writeHeader = [&](int frame) {
    std::string number = "#" + std::to_string(frameNumber++);
    os << rightJustify(number, headerWidth) << ' '
       << paddedHex(reinterpret_cast<uintptr_t>(frames.addresses[frame]), 18) << ' ';
  };
  for (int i = 0; i < frames.depth; ++i) {
    if (!frames.names[i]) {
      writeHeader(i);
      os << '\n';
      continue;
    }
    while (true) {
      if (next == lines.size())
        return false;
      std::string_view function = lines[next++];
      if (function.empty())
        break;
      writeHeader(i);
      if (!function.starts_with("??"))
        os << function << ' ';
      if (next == lines.size())
        return false;
      std::string_view place = lines[next++];
      if (!place.starts_with("??"))
        os << place;
      else
        os << '(' << frames.names[i] << '+' << paddedHex(frames.offsets[i], 0) << ')';
      os << '\n';
    }
  }
  return true;
}

// Runs the symbolizer on `input` through pipes, under the time limit and
// the output cap; its answer goes to `answer`. No file is made, so none can
// stay behind, whatever ends the run or the process.
bool runSymbolizer(const std::string &symbolizer, std::string_view input, std::string &answer) {
  const std::string_view arguments[] = {symbolizerName, "--functions=linkage", "--inlining",
                                        "--demangle"};
  const FilterLimits limits = {symbolizerTimeLimitMilliseconds, symbolizerOutputCap};
  return runFilter(symbolizer, arguments, input, answer, limits) == 0;
}

} // namespace

bool symbolizeStackTrace(OutputStream &os, void *const *addresses, int depth) {
  if (cl::symbolicationDisabled() || std::getenv("ORVANE_DISABLE_SYMBOLIZATION"))
    return false;
  std::string_view program = crashProgramName();
  if (program.find(symbolizerName) != std::string_view::npos)
    return false;
  std::string symbolizer;
  if (!findSymbolizer(program, symbolizer))
    return false;

  std::string programPath(program);
  std::string mainExecutable = fileExists(programPath) ? programPath : executablePath();
  static FrameModules frames;
  frames = FrameModules{};
  frames.mainExecutable = mainExecutable.c_str();
  frames.isFirstObject = true;
  frames.addresses = addresses;
  frames.depth = std::min(depth, maxFrames);
  dl_iterate_phdr(findFrameModules, &frames);

  std::string answer;
  if (!runSymbolizer(symbolizer, symbolizerInput(frames), answer))
    return false;
  std::string listing;
  if (!formatListing(frames, answer, listing))
    return false;
  os << listing;
  return true;
}

} // namespace vetline
