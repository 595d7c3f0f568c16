// Matching: the checking pass (CheckEngine::verifyInput, with the check file
// read beforehand) on generated inputs, each beside a baseline timed in the
// same run: a regex CHECK-NOT against the C library's regexec over the same
// text, ordered fixed strings against memmem, consecutive CHECK-NEXT lines
// against memmem over the same lines. Each runs at two sizes: time per byte
// must stay flat.
#include "engine/check_engine.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"

#include <benchmark/benchmark.h>

#include <regex.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace vetline {
namespace {

const char *const words[] = {"alpha", "beta", "load", "store", "branch", "call", "ret", "mov"};

// Assembly-like noise lines totalling about `bytes`; fixed seed.
std::string noiseText(size_t bytes, unsigned seed = 7) {
  std::mt19937 random(seed);
  std::string text;
  text.reserve(bytes + 64);
  while (text.size() < bytes) {
    text += "  ";
    text += words[random() % 8];
    text += " r" + std::to_string(random() % 16) + ", " + std::to_string(random() % 100000);
    text += " ; ";
    text += words[random() % 8];
    text += '\n';
  }
  return text;
}

// Loads `check` once, then times verifying `input` (both canonical).
void verifyLoop(benchmark::State &state, const std::string &check, const std::string &input,
                bool expected) {
  SourceManager sources;
  unsigned checkNumber = sources.addBuffer(makeTextBufferCopy(check, "check.txt"));
  unsigned inputNumber = sources.addBuffer(makeTextBufferCopy(input, "input.txt"));
  CheckEngine engine{CheckRequest()};
  Regex prefixRegex = engine.buildPrefixRegex();
  if (engine.loadDirectives(sources, sources.buffer(checkNumber).text(), prefixRegex, nullptr)) {
    state.SkipWithError("the generated check file was refused");
    return;
  }
  for (auto _ : state) {
    if (engine.verifyInput(sources, sources.buffer(inputNumber).text(), nullptr) != expected) {
      state.SkipWithError("unexpected verdict");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}

const char notRegex[] = "error: [a-z]+ failed";

void regexNotVerify(benchmark::State &state) {
  std::string input = noiseText(static_cast<size_t>(state.range(0)));
  verifyLoop(state, "CHECK-NOT: error: {{[a-z]+}} failed\n", input, true);
}

void regexNotRegexec(benchmark::State &state) {
  std::string input = noiseText(static_cast<size_t>(state.range(0)));
  regex_t compiled;
  if (regcomp(&compiled, notRegex, REG_EXTENDED | REG_NEWLINE) != 0) {
    state.SkipWithError("regcomp failed");
    return;
  }
  for (auto _ : state) {
    regmatch_t match[1];
    if (regexec(&compiled, input.c_str(), 1, match, 0) != REG_NOMATCH) {
      state.SkipWithError("unexpected match");
      break;
    }
  }
  regfree(&compiled);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}

// `count` marker lines spread evenly through noise of about `bytes`.
std::string markedText(size_t bytes, size_t count, std::vector<std::string> &markers) {
  std::string noise = noiseText(bytes);
  std::string text;
  text.reserve(noise.size() + count * 24);
  size_t gap = noise.size() / count;
  size_t from = 0;
  for (size_t i = 0; i < count; ++i) {
    size_t to = noise.find('\n', from + gap);
    to = to == std::string::npos ? noise.size() : to + 1;
    text.append(noise, from, to - from);
    markers.push_back("marker line " + std::to_string(i) + " done");
    text += markers.back() + "\n";
    from = to;
  }
  text.append(noise, from, std::string::npos);
  return text;
}

void fixedStringsVerify(benchmark::State &state) {
  std::vector<std::string> markers;
  std::string input = markedText(static_cast<size_t>(state.range(0)), 20000, markers);
  std::string check;
  for (const std::string &marker : markers)
    check += "CHECK: " + marker + "\n";
  verifyLoop(state, check, input, true);
}

void fixedStringsMemmem(benchmark::State &state) {
  std::vector<std::string> markers;
  std::string input = markedText(static_cast<size_t>(state.range(0)), 20000, markers);
  for (auto _ : state) {
    const char *at = input.data();
    const char *end = input.data() + input.size();
    for (const std::string &marker : markers) {
      const void *found = memmem(at, static_cast<size_t>(end - at), marker.data(), marker.size());
      if (!found) {
        state.SkipWithError("marker not found");
        return;
      }
      at = static_cast<const char *>(found) + marker.size();
    }
    benchmark::DoNotOptimize(at);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}

// Every line of the input, checked by one CHECK and then CHECK-NEXT lines.
void nextLinesVerify(benchmark::State &state) {
  std::string input;
  std::string check;
  for (int64_t i = 0; i < state.range(0); ++i) {
    std::string line = "line " + std::to_string(i) + " of the listing";
    input += line + "\n";
    check += (i == 0 ? "CHECK: " : "CHECK-NEXT: ") + line + "\n";
  }
  verifyLoop(state, check, input, true);
}

BENCHMARK(regexNotVerify)->Arg(25 << 20)->Arg(50 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(regexNotRegexec)->Arg(25 << 20)->Arg(50 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(fixedStringsVerify)->Arg(25 << 20)->Arg(50 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(fixedStringsMemmem)->Arg(25 << 20)->Arg(50 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(nextLinesVerify)->Arg(100000)->Arg(200000)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace vetline
