// Reading check files: loadDirectives over generated check files of growing
// size. Time per byte must stay flat as the file grows (the prefix search
// never rescans text it has passed).
#include "engine/check_engine.h"
#include "support/output_stream.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace vetline {
namespace {

// A check file in the style of compiler tests: directives of every common
// kind between comment and source lines, fixed texts and regexes.
std::string makeCheckFile(int64_t directives) {
  std::string text;
  for (int64_t i = 0; i < directives; ++i) {
    std::string n = std::to_string(i);
    switch (i % 5) {
    case 0:
      text += "; COM: function " + n + " follows\ndefine i32 @f" + n + "(i32 %x) {\n";
      text += "; CHECK-LABEL: define i32 @f" + n + "(\n";
      break;
    case 1:
      text += "; CHECK: add i32 {{%[a-z0-9]+}}, " + n + "\n";
      break;
    case 2:
      text += "; CHECK-NEXT: [[R" + n + ":%[0-9]+]] = mul i32 [[R" + n + "]], 2\n";
      break;
    case 3:
      text += "; CHECK-NOT: call void @abort()\n";
      break;
    default:
      text += "; CHECK-DAG: store i32 " + n + ", ptr @g\n  ret i32 %x\n}\n";
      break;
    }
  }
  return text;
}

// Reads `text` as a check file once per iteration, from a fresh engine as
// the tool does; throughput counts the bytes of the file.
void timeLoading(benchmark::State &state, const std::string &text) {
  for (auto _ : state) {
    SourceManager sources;
    CheckEngine engine{CheckRequest()};
    Regex prefixRegex = engine.buildPrefixRegex();
    unsigned number = sources.addBuffer(makeTextBufferCopy(text, "check.txt"));
    if (engine.loadDirectives(sources, sources.buffer(number).text(), prefixRegex, nullptr)) {
      state.SkipWithError("the generated check file was refused");
      break;
    }
    benchmark::DoNotOptimize(engine.directives().data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void loadCheckFile(benchmark::State &state) {
  std::string text = makeCheckFile(state.range(0));
  timeLoading(state, text);
  state.counters["directives"] = static_cast<double>(state.range(0));
}

BENCHMARK(loadCheckFile)->Arg(50000)->Arg(100000)->Arg(200000)->Unit(benchmark::kMillisecond);

// Prefix occurrences that are never directives (glued to a word) on one
// long line, and a long line without any prefix.
void skipNonDirectives(benchmark::State &state) {
  std::string text = "CHECK: start\n";
  for (int64_t i = 0; i < state.range(0); ++i)
    text += "xCHECK: ";
  text += "\n" + std::string(static_cast<size_t>(state.range(0)) * 8, 'y') + "\n";
  timeLoading(state, text);
}

BENCHMARK(skipNonDirectives)->Arg(50000)->Arg(200000)->Unit(benchmark::kMillisecond);

// One directive whose pattern is a long line of regex pieces and literals.
void longPatternLine(benchmark::State &state) {
  std::string text = "CHECK: ";
  for (int64_t i = 0; i < state.range(0); ++i)
    text += "ab{{c}}";
  text += "\n";
  timeLoading(state, text);
}

BENCHMARK(longPatternLine)->Arg(5000)->Arg(20000)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace vetline
