// Search throughput of Regex over a 10 MB text, beside the C library's
// regexec (REG_EXTENDED) on the same text and, for the literal search, a
// plain memmem. Each pattern matches only at the very end of the text, so
// every search covers all of it. Both engines are asked for sub-matches, as
// the check engine does.
#include "support/regex/regex.h"

#include <benchmark/benchmark.h>
#include <regex.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t TextSize = 10 << 20;

// Lines of lower-case words, some with "_<number>" suffixes, then `tail`.
std::string makeText(const std::string &tail) {
  static const char *const words[] = {
      "alpha", "beta",  "gamma", "delta", "ret",  "call", "mov",  "load",
      "store", "br",    "label", "entry", "exit", "phi",  "add",  "sub",
      "mul",   "icmp",  "i32",   "i64",   "ptr",  "void", "define", "declare"};
  std::mt19937 rng(42);
  std::string text;
  text.reserve(TextSize + tail.size());
  while (text.size() < TextSize) {
    size_t count = 3 + rng() % 8;
    for (size_t i = 0; i < count; ++i) {
      text += words[rng() % (sizeof(words) / sizeof(words[0]))];
      if (rng() % 4 == 0) {
        text += '_';
        text += std::to_string(rng() % 1000);
      }
      text += ' ';
    }
    text += '\n';
  }
  text += tail;
  return text;
}

struct Search {
  const char *pattern;
  const char *tail;
};

// (a) a long literal, (b) no literal, (c) ten words, (d) a back-reference.
const Search searches[] = {
    {"the quick brown fox jumps over the lazy dog", "the quick brown fox jumps over the lazy dog\n"},
    {"[a-z]+_[0-9]+x", "end_42x\n"},
    {"zebra|yak|walrus|vulture|urchin|tapir|salmon|raven|quail|penguin", "penguin\n"},
    {"([a-z]{3})_[0-9]+_\\1", "abc_77_abc\n"},
};

const std::string &textFor(size_t index) {
  static std::vector<std::string> texts;
  if (texts.empty())
    for (const Search &search : searches)
      texts.push_back(makeText(search.tail));
  return texts[index];
}

void ownSearch(benchmark::State &state) {
  size_t index = static_cast<size_t>(state.range(0));
  const std::string &text = textFor(index);
  vetline::Regex regex(searches[index].pattern);
  std::vector<std::string_view> matches;
  for (auto _ : state) {
    bool found = regex.match(text, &matches);
    if (!found || matches[0].data() + matches[0].size() + 1 != text.data() + text.size())
      state.SkipWithError("wrong match");
    benchmark::DoNotOptimize(matches.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void libcSearch(benchmark::State &state) {
  size_t index = static_cast<size_t>(state.range(0));
  const std::string &text = textFor(index);
  regex_t compiled;
  if (regcomp(&compiled, searches[index].pattern, REG_EXTENDED) != 0) {
    state.SkipWithError("regcomp failed");
    return;
  }
  std::vector<regmatch_t> matches(compiled.re_nsub + 1);
  for (auto _ : state) {
    int code = regexec(&compiled, text.c_str(), matches.size(), matches.data(), 0);
    if (code != 0 || static_cast<size_t>(matches[0].rm_eo) + 1 != text.size())
      state.SkipWithError("wrong match");
    benchmark::DoNotOptimize(matches.data());
  }
  regfree(&compiled);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void memmemSearch(benchmark::State &state) {
  const std::string &text = textFor(0);
  const char *needle = searches[0].pattern;
  size_t length = std::strlen(needle);
  for (auto _ : state) {
    const void *found = memmem(text.data(), text.size(), needle, length);
    if (found == nullptr)
      state.SkipWithError("not found");
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

BENCHMARK(ownSearch)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(libcSearch)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(memmemSearch)->Unit(benchmark::kMillisecond);

} // namespace
