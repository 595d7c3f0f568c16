// Cost of one parse of a typical tool command line against every option the
// tool registers (the registration itself happens once, before main), and of
// a misspelt option, whose suggestion visits every name.
#include "support/cmdline/library_options.h"
#include "support/cmdline/option.h"
#include "support/cmdline/parser.h"
#include "support/cmdline/tokenizer.h"
#include "support/output_stream.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

using namespace vetline;

void parseOnce(benchmark::State &state, const std::vector<std::string> &args,
               const char *environment) {
  std::string sink;
  StringOutputStream errors(sink);
  cl::registry().errorStream = &errors;
  cl::ParseSettings settings;
  settings.errors = &errors;
  settings.environmentValue = environment;
  settings.mayExit = false;
  for (auto _ : state) {
    cl::resetAllOptions();
    sink.clear();
    benchmark::DoNotOptimize(cl::parseArguments(args, settings));
  }
  cl::registry().errorStream = nullptr;
}

void BM_TypicalCommandLine(benchmark::State &state) {
  parseOnce(state,
            {"vetline", "check.txt", "--check-prefixes=CHECK,ALSO", "-DVALUE=1",
             "--implicit-check-not=error", "--dump-input=fail", "-v", "--input-file", "in.txt"},
            "--allow-unused-prefixes");
}
BENCHMARK(BM_TypicalCommandLine);

void BM_MisspeltOption(benchmark::State &state) {
  parseOnce(state, {"vetline", "check.txt", "--dump-inpt=fail"}, nullptr);
}
BENCHMARK(BM_MisspeltOption);

void BM_Tokenize(benchmark::State &state) {
  std::string text;
  for (int i = 0; i < 100; ++i)
    text += "--check-prefix=\"A B\" -v 'x y' plain\\ word\n";
  std::vector<std::string> tokens;
  for (auto _ : state) {
    tokens.clear();
    cl::tokenizeCommandLine(text, tokens);
    benchmark::DoNotOptimize(tokens.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_Tokenize);

} // namespace
