// Search throughput of Regex over a 10 MB text, beside the C library's
// regexec (REG_EXTENDED) on the same text and, for the literal search, a
// plain memmem. Each pattern matches only at the very end of the text, so
// every search covers all of it. Both engines are asked for sub-matches, as
// the check engine does.
//
// Linearity/<case>: adversarial patterns and texts, each searched at n and
// 2n bytes (VETLINE_BENCH_ADVERSARY_SCALE scales n); the counter `growth`
// is time(2n) / time(n) (linear is 2.0, the guarantee allows 2.2) and
// `vs_libc` is our time over regexec's on one text of the case, timed in
// the same run (shorter where regexec is quadratic). Each time is the
// fastest of the iterations; n is large enough for tens of milliseconds.
// Compile: regexes of a check line's size compiled and freed, beside
// regcomp.
// BackRefWords: `([a-z]+) \1` over word lines where every adjacent pair is a
// candidate that only the back-reference rejects, beside regexec.
#include "support/regex/regex.h"

#include <benchmark/benchmark.h>
#include <regex.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t TextSize = 10 << 20;

// Lines of lower-case words, some with "_<number>" suffixes, then `tail`.
std::string makeText(const std::string &tail) {
  static const char *const words[] = {"alpha", "beta", "gamma", "delta", "ret",    "call",
                                      "mov",   "load", "store", "br",    "label",  "entry",
                                      "exit",  "phi",  "add",   "sub",   "mul",    "icmp",
                                      "i32",   "i64",  "ptr",   "void",  "define", "declare"};
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
    {"the quick brown fox jumps over the lazy dog",
     "the quick brown fox jumps over the lazy dog\n"},
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

// Compile: a regex of the size a substituted check line gives, compiled and
// freed over and over (a check file of distinct regex lines compiles one per
// directive), beside regcomp/regfree.
const char *const compilePatterns[] = {
    "%(v[0-9]+) = add i32 %zeta, ([0-9]+)",
    "define i32 @fn123\\(i32 %([a-z]+), i32 %([a-z]+)\\)",
};

void ownCompile(benchmark::State &state) {
  const char *pattern = compilePatterns[state.range(0)];
  for (auto _ : state) {
    vetline::Regex regex(pattern, vetline::RegexOptions::Newline);
    benchmark::DoNotOptimize(regex.isValid());
  }
}

void libcCompile(benchmark::State &state) {
  const char *pattern = compilePatterns[state.range(0)];
  for (auto _ : state) {
    regex_t compiled;
    benchmark::DoNotOptimize(regcomp(&compiled, pattern, REG_EXTENDED | REG_NEWLINE));
    regfree(&compiled);
  }
}

BENCHMARK(ownCompile)->DenseRange(0, 1);
BENCHMARK(libcCompile)->DenseRange(0, 1);

BENCHMARK(ownSearch)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(libcSearch)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(memmemSearch)->Unit(benchmark::kMillisecond);

std::string repeated(const std::string &unit, size_t bytes) {
  std::string text;
  text.reserve(bytes + unit.size());
  while (text.size() < bytes)
    text += unit;
  return text;
}

struct Adversary {
  const char *name;
  const char *pattern;
  size_t n;
  // Size of the text both engines search for `vs_libc`: regexec is
  // quadratic on several of these, so some compare on a shorter text; 0 when
  // regcomp does not take the pattern.
  size_t libcN;
  std::string (*make)(size_t n);
};

const Adversary adversaries[] = {
    // Dissection of `.*` pieces: each must take the longest span that lets
    // the rest match.
    {"dissect-error-line", "(.*): error: (.*)", 1000000, 200000,
     [](size_t n) { return "file.c: error: " + std::string(n, 'x'); }},
    {"dissect-ten-pieces", "(.*),(.*),(.*),(.*),(.*),(.*),(.*),(.*),(.*),(.*),", 1000000, 2000,
     [](size_t n) { return std::string(n, 'x') + ",,,,,,,,,,"; }},
    // Loop splitting: every iteration is one 'y', but the `.*,` threads of
    // each iteration live to the end of the text.
    {"dissect-loop", "(.*,|y)*x", 1000000, 200000,
     [](size_t n) { return std::string(n, 'y') + "x"; }},
    // Start search: threads from every `a` live to the end of the text.
    {"start-search", "a[^Y]*Y|Z", 200000, 10000,
     [](size_t n) { return std::string(n, 'a') + "Z" + std::string(n, 'b'); }},
    {"nested-repetitions", "((a*)*b*)*[cd]", 4000000, 1000000,
     [](size_t n) { return repeated("aab", n); }},
    {"empty-alternatives", "(a*|b*|c?)*[de]", 8000000, 1000000,
     [](size_t n) { return repeated("abcab", n); }},
    {"ambiguity", "(a|aa)*[bc]", 8000000, 10000, [](size_t n) { return std::string(n, 'a'); }},
    {"ambiguity-groups", "((a|aa)*)$", 1000000, 100000,
     [](size_t n) { return std::string(n, 'a'); }},
    // The must text 'x' occurs throughout, so the whole line is scanned.
    {"long-line-no-match", "[a-z]+[0-9]x", 4000000, 10000,
     [](size_t n) { return repeated("abcdefgx", n); }},
    {"word-boundaries", "[[:<:]][a-z]+_[0-9]+[[:>:]]x", 4000000, 0,
     [](size_t n) { return repeated("alpha beta_ gamma_1 ", n); }},
    // About 100,000 operations; every third byte ends the threads.
    {"large-program", "((a[bc]){255}){100}", 4000000, 20000,
     [](size_t n) { return repeated("abacax", n); }},
};

// CPU time of the process (one thread): on a shared machine, wall time
// would count other processes' work.
double secondsFor(const std::function<void()> &search) {
  auto now = [] {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
  };
  double start = now();
  search();
  return now() - start;
}

// VETLINE_BENCH_ADVERSARY_SCALE multiplies every n (default 1).
size_t scaledSize(size_t n) {
  const char *given = std::getenv("VETLINE_BENCH_ADVERSARY_SCALE");
  double scale = given != nullptr ? std::atof(given) : 1.0;
  return std::max<size_t>(1, size_t(double(n) * scale));
}

void linearity(benchmark::State &state, const Adversary &adversary) {
  size_t n = scaledSize(adversary.n);
  std::string small = adversary.make(n);
  std::string large = adversary.make(2 * n);
  std::string shared = adversary.libcN > 0 ? adversary.make(scaledSize(adversary.libcN)) : "";
  vetline::Regex regex(adversary.pattern);
  if (!regex.isValid()) {
    state.SkipWithError("pattern does not compile");
    return;
  }
  regex_t compiled;
  bool withLibc = adversary.libcN > 0 && regcomp(&compiled, adversary.pattern, REG_EXTENDED) == 0;
  std::vector<std::string_view> matches;
  std::vector<regmatch_t> libcMatches(withLibc ? compiled.re_nsub + 1 : 1);
  // The fastest of the iterations: other processes on the machine only ever
  // add time, and the growth of a millisecond-scale case would be noise.
  double timeSmall = HUGE_VAL, timeLarge = HUGE_VAL, timeShared = HUGE_VAL, timeLibc = HUGE_VAL;
  bool agree = true;
  for (auto _ : state) {
    timeSmall = std::min(timeSmall, secondsFor([&] { regex.match(small, &matches); }));
    timeLarge = std::min(timeLarge, secondsFor([&] { regex.match(large, &matches); }));
    if (!withLibc)
      continue;
    bool found = false;
    timeShared = std::min(timeShared, secondsFor([&] { found = regex.match(shared, &matches); }));
    int code = 0;
    timeLibc = std::min(timeLibc, secondsFor([&] {
                          code = regexec(&compiled, shared.c_str(), libcMatches.size(),
                                         libcMatches.data(), 0);
                        }));
    agree = agree && found == (code == 0) &&
            (!found || (matches[0].data() - shared.data() == libcMatches[0].rm_so &&
                        matches[0].size() == size_t(libcMatches[0].rm_eo - libcMatches[0].rm_so)));
  }
  if (withLibc)
    regfree(&compiled);
  if (!agree)
    state.SkipWithError("whole match differs from regexec");
  state.counters["growth"] = timeSmall > 0 ? timeLarge / timeSmall : 0;
  if (withLibc)
    state.counters["vs_libc"] = timeLibc > 0 ? timeShared / timeLibc : 0;
  state.counters["ms_2n"] = 1e3 * timeLarge;
}

// Lines of four words, whose letters alternate between the two halves of
// the alphabet, so no word begins with the end of the word before it;
// VETLINE_BENCH_BACKREF_MB sets the size (default 20).
const std::string &backRefText() {
  static std::string text;
  if (!text.empty())
    return text;
  const char *given = std::getenv("VETLINE_BENCH_BACKREF_MB");
  size_t bytes = size_t(given != nullptr ? std::atof(given) * 1e6 : 20e6);
  std::mt19937 rng(5);
  text.reserve(bytes + 64);
  while (text.size() < bytes) {
    for (int word = 0; word < 4; ++word) {
      size_t length = 2 + rng() % 8;
      for (size_t i = 0; i < length; ++i)
        text += static_cast<char>((word % 2 == 0 ? 'a' : 'n') + rng() % 13);
      text += word == 3 ? '\n' : ' ';
    }
  }
  return text;
}

constexpr const char *BackRefPattern = "([a-z]+) \\1";

void backRefOwn(benchmark::State &state) {
  const std::string &text = backRefText();
  vetline::Regex regex(BackRefPattern);
  std::vector<std::string_view> matches;
  std::string error;
  for (auto _ : state)
    if (regex.match(text, &matches, &error) || !error.empty())
      state.SkipWithError(error.empty() ? "unexpected match" : error.c_str());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void backRefLibc(benchmark::State &state) {
  const std::string &text = backRefText();
  regex_t compiled;
  if (regcomp(&compiled, BackRefPattern, REG_EXTENDED) != 0) {
    state.SkipWithError("regcomp failed");
    return;
  }
  regmatch_t matches[2];
  for (auto _ : state)
    if (regexec(&compiled, text.c_str(), 2, matches, 0) != REG_NOMATCH)
      state.SkipWithError("unexpected match");
  regfree(&compiled);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

BENCHMARK(backRefOwn)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(backRefLibc)->Iterations(1)->Unit(benchmark::kMillisecond);

[[maybe_unused]] const bool registered = [] {
  for (const Adversary &adversary : adversaries)
    benchmark::RegisterBenchmark(
        (std::string("Linearity/") + adversary.name).c_str(),
        [&adversary](benchmark::State &state) { linearity(state, adversary); })
        ->Unit(benchmark::kMillisecond)
        ->Iterations(9);
  return true;
}();

} // namespace
