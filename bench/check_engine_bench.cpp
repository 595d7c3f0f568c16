// Canonicalisation speed: compiler-like output (short runs of blanks, CR LF
// line ends), a blank-dense worst case, and strict whitespace, each beside a
// plain copy of the same bytes as the floor; and the widest scan against the
// portable one, rewriting in place as the driver does.
#include "engine/canonical_text.h"
#include "engine/check_engine.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>

namespace vetline {
namespace {

constexpr size_t TextSize = 16 << 20;

std::string compilerLikeText() {
  std::mt19937 random(7);
  std::string text;
  text.reserve(TextSize + 64);
  while (text.size() < TextSize) {
    text += random() % 4 ? "\tmovq\t%rsp, %rbp" : "  .p2align 4,,10";
    text += random() % 8 ? "\n" : "  # comment\t \r\n";
  }
  return text;
}

std::string blankDenseText() {
  std::string text;
  text.reserve(TextSize);
  while (text.size() < TextSize)
    text += "a b\tc \t d\r\n";
  return text;
}

void canonicalize(benchmark::State &state, const std::string &text, bool strictWhitespace) {
  CheckRequest request;
  request.strictWhitespace = strictWhitespace;
  CheckEngine engine(request);
  std::unique_ptr<TextBuffer> buffer = makeTextBufferView(text, "bench", true);
  SmallVector<char, 4096> storage;
  for (auto _ : state) {
    std::string_view result = engine.canonicalizeBuffer(*buffer, storage);
    benchmark::DoNotOptimize(result.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void copyOnly(benchmark::State &state, const std::string &text) {
  std::string copy(text.size() + 1, '\0');
  for (auto _ : state) {
    std::memcpy(copy.data(), text.data(), text.size());
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

const std::string &compilerLike() {
  static const std::string text = compilerLikeText();
  return text;
}

const std::string &blankDense() {
  static const std::string text = blankDenseText();
  return text;
}

// Listing lines with a double and a triple space each, two changes in every
// 45 bytes; and the same lines without a change, which in place are only read.
std::string listingText(bool changes) {
  std::string text;
  text.reserve(TextSize + 64);
  while (text.size() < TextSize) {
    text += changes ? "  0000" : " 0000";
    text += std::to_string(text.size() % 9000);
    text += ": add r1, r2, 345";
    text += changes ? "   " : " ";
    text += "; alpha beta\n";
  }
  return text;
}

const std::string &scanText(int64_t which) {
  static const std::string texts[] = {listingText(true), listingText(false), blankDenseText()};
  return texts[which];
}

// Args: scan (0 the widest, 1 portable), text (0 dense listing, 1 the
// listing without changes, 2 blank-dense).
void BM_CanonicalScanInPlace(benchmark::State &state) {
  auto scan = state.range(0) ? CanonicalScan::Portable : CanonicalScan::Best;
  const std::string &text = scanText(state.range(1));
  std::string work = text;
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(work.data(), text.data(), text.size());
    state.ResumeTiming();
    char *end = canonicalizeBytes(work.data(), work.data() + work.size(), work.data(), true, scan);
    benchmark::DoNotOptimize(end);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void BM_CanonicalizeCompilerLike(benchmark::State &state) {
  canonicalize(state, compilerLike(), false);
}
void BM_CanonicalizeCompilerLikeStrict(benchmark::State &state) {
  canonicalize(state, compilerLike(), true);
}
void BM_CanonicalizeBlankDense(benchmark::State &state) {
  canonicalize(state, blankDense(), false);
}
void BM_CopyCompilerLike(benchmark::State &state) { copyOnly(state, compilerLike()); }

BENCHMARK(BM_CanonicalizeCompilerLike)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CanonicalizeCompilerLikeStrict)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CanonicalizeBlankDense)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyCompilerLike)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CanonicalScanInPlace)
    ->ArgsProduct({{0, 1}, {0, 1, 2}})
    ->ArgNames({"scan", "text"})
    ->Unit(benchmark::kMillisecond);

} // namespace
} // namespace vetline
