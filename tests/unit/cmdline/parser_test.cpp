#include "support/cmdline/parser.h"

#include "support/cmdline/help.h"
#include "support/cmdline/option.h"
#include "support/edit_distance.h"
#include "tests/unit/cmdline/cmdline_test_support.h"
#include "tests/unit/cmdline/response_file_fixture.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

namespace vetline::cl {
namespace {

using testing::runParse;

enum class Mode { Never = 0, Fail = 1, Always = 2 };

// A small tool: one optional positional, text, lists, an alias that splits
// at commas, a glued one-letter list, flags, an enumeration and numbers.
struct Options {
  SingleOption<std::string> file{help("<file>"), Positional};
  SingleOption<std::string> input{"input", init("-"), valueName("filename")};
  ListOption<std::string> prefix{"prefix"};
  alias prefixes{"prefixes", aliasopt(prefix), CommaSeparated};
  ListOption<std::string> defines{"D", GluedValueOnly};
  ListOption<std::string> include{"I", Prefix};
  SingleOption<std::string> out{"o"};
  SingleOption<bool> verbose{"v", ZeroOrMore};
  SingleOption<bool> veryVerbose{"vv"};
  SingleOption<bool> quiet{"quiet"};
  ListOption<Mode> mode{"mode", values({enumValue(Mode::Always, "always", "Always"),
                                        enumValue(Mode::Fail, "fail", "On failure"),
                                        enumValue(Mode::Never, "never", "Never")})};
  ListOption<uint32_t> context{"context"};
  SingleOption<uint64_t> seed{"seed"};

  // Every value that differs from its declaration, in a fixed order.
  std::string summary() const {
    std::string s;
    auto add = [&](const std::string &item) { s += (s.empty() ? "" : " ") + item; };
    auto list = [](const std::vector<std::string> &values) {
      std::string joined;
      for (size_t i = 0; i < values.size(); ++i)
        joined += (i ? "|" : "") + values[i];
      return joined;
    };
    if (file.occurrences)
      add("file=" + file.getValue());
    if (input.occurrences)
      add("input=" + input.getValue());
    if (!prefix.empty())
      add("prefix=" + list(prefix.getValues()));
    if (!defines.empty())
      add("D=" + list(defines.getValues()));
    if (!include.empty())
      add("I=" + list(include.getValues()));
    if (out.occurrences)
      add("o=" + out.getValue());
    if (verbose.occurrences)
      add("v=" + std::string(verbose ? "1" : "0") + "x" + std::to_string(verbose.occurrences));
    if (veryVerbose.occurrences)
      add("vv=" + std::string(veryVerbose ? "1" : "0"));
    if (quiet.occurrences)
      add("quiet=" + std::string(quiet ? "1" : "0"));
    if (!mode.empty()) {
      std::string modes;
      for (Mode m : mode)
        modes += (modes.empty() ? "" : "|") + std::to_string(int(m));
      add("mode=" + modes);
    }
    if (!context.empty()) {
      std::string numbers;
      for (uint32_t n : context)
        numbers += (numbers.empty() ? "" : "|") + std::to_string(n);
      add("context=" + numbers);
    }
    if (seed.occurrences)
      add("seed=" + std::to_string(seed.getValue()));
    return s;
  }
};

struct ParseCase {
  std::vector<std::string> args;
  std::string values;
  std::string errors;
};

const ParseCase parseCases[] = {
    // Names, dashes and values.
    {{"-input=x", "f"}, "file=f input=x", ""},
    {{"--input", "x"}, "input=x", ""},
    {{"-input", "-v"}, "input=-v", ""},
    {{"-input="}, "input=", ""},
    {{"-"}, "file=-", ""},
    {{"--", "-v"}, "file=-v", ""},
    {{"--", "--"}, "file=--", ""},
    {{""}, "file=", ""},
    // Lists, the comma-splitting alias and glued values.
    {{"-prefixes=A,B", "-prefix=C"}, "prefix=A|B|C", ""},
    {{"--prefixes=A,"}, "prefix=A|", ""},
    {{"-prefixes", ",,"}, "prefix=||", ""},
    {{"-DFOO=1", "-DBAR=2"}, "D=FOO=1|BAR=2", ""},
    {{"-D=X"}, "D==X", ""},
    {{"-D", "X=1"}, "file=X=1", "vetline: for the -D option: requires a value!\n"},
    {{"-Iinc", "-I=eq", "-I", "next"}, "I=inc|eq|next", ""},
    // Flags and groups of one-letter options.
    {{"-v=1"}, "v=1x1", ""},
    {{"-v", "1"}, "file=1 v=1x1", ""},
    {{"-v=0"}, "v=0x1", ""},
    {{"-v="}, "v=1x1", ""},
    {{"-quiet=FALSE", "-quiet=True"}, "quiet=1", ""},
    {{"-vv"}, "vv=1", ""},
    {{"-vvv"}, "v=1x3", ""},
    {{"-vDX=1"}, "D=X=1 v=1x1", ""},
    {{"-vIdir"}, "I=dir v=1x1", ""},
    {{"-v=yes"},
     "v=0x1",
     "vetline: for the -v option: 'yes' is invalid value for boolean argument! Try 0 or 1\n"},
    {{"-quiet=on", "-quiet=tRUE"},
     "quiet=0",
     "vetline: for the --quiet option: 'on' is invalid value for boolean argument! Try 0 or 1\n"
     "vetline: for the --quiet option: 'tRUE' is invalid value for boolean argument! Try 0 or "
     "1\n"},
    {{"-oquiet"},
     "",
     "vetline: for the -o option: may not occur within a group!\n"
     "vetline: Unknown command line argument '-oquiet'.  Try: 'vetline --help'\n"
     "vetline: Did you mean '--quiet'?\n"},
    // Enumerations are matched exactly.
    {{"-mode=always", "--mode", "never"}, "mode=2|0", ""},
    {{"-mode=Always"}, "", "vetline: for the --mode option: Cannot find option named 'Always'!\n"},
    {{"-mode"}, "", "vetline: for the --mode option: requires a value!\n"},
    // Numbers and their radixes.
    {{"-context=0x10", "-context=010", "-context=0b11", "-context=0o17", "-context=0",
      "-context=0X1f", "-context=4294967295"},
     "context=16|8|3|15|0|31|4294967295",
     ""},
    {{"-context=08", "-context=4294967296", "-context=-1", "-context=", "-context= 1",
      "-context=0x"},
     "",
     "vetline: for the --context option: '08' value invalid for uint argument!\n"
     "vetline: for the --context option: '4294967296' value invalid for uint argument!\n"
     "vetline: for the --context option: '-1' value invalid for uint argument!\n"
     "vetline: for the --context option: '' value invalid for uint argument!\n"
     "vetline: for the --context option: ' 1' value invalid for uint argument!\n"
     "vetline: for the --context option: '0x' value invalid for uint argument!\n"},
    {{"-seed=18446744073709551615"}, "seed=18446744073709551615", ""},
    {{"-seed=18446744073709551616", "-seed=abc"},
     "seed=0",
     "vetline: for the --seed option: '18446744073709551616' value invalid for ulong argument!\n"
     "vetline: for the --seed option: 'abc' value invalid for ulong argument!\n"},
    // Unknown names, suggestions and positional counts.
    {{"-inpt=x"},
     "",
     "vetline: Unknown command line argument '-inpt=x'.  Try: 'vetline --help'\n"
     "vetline: Did you mean '--input=x'?\n"},
    {{"-quiett=1"},
     "",
     "vetline: Unknown command line argument '-quiett=1'.  Try: 'vetline --help'\n"
     "vetline: Did you mean '--quiet=1'?\n"},
    {{"--help=1"}, "", "vetline: for the --help option: does not allow a value! '1' specified.\n"},
    {{"--version="},
     "",
     "vetline: for the --version option: does not allow a value! '' specified.\n"},
    {{"-input"}, "", "vetline: for the --input option: requires a value!\n"},
    {{"a", "b"},
     "",
     "vetline: Too many positional arguments specified!\n"
     "Can specify at most 1 positional arguments: See: vetline --help\n"},
    {{"-quiett", "-v=no", "a", "b", "-input"},
     "v=0x1",
     "vetline: Unknown command line argument '-quiett'.  Try: 'vetline --help'\n"
     "vetline: Did you mean '--quiet'?\n"
     "vetline: for the -v option: 'no' is invalid value for boolean argument! Try 0 or 1\n"
     "vetline: for the --input option: requires a value!\n"
     "vetline: Too many positional arguments specified!\n"
     "Can specify at most 1 positional arguments: See: vetline --help\n"},
};

TEST(Parser, Arguments) {
  for (const ParseCase &c : parseCases) {
    std::string trace;
    for (const std::string &arg : c.args)
      trace += "[" + arg + "]";
    SCOPED_TRACE(trace);
    Options options;
    std::vector<std::string> args = {"vetline"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    testing::ParseRun run = runParse(args);
    EXPECT_EQ(options.summary(), c.values);
    EXPECT_EQ(run.errors, c.errors);
    EXPECT_EQ(run.ok, c.errors.empty());
    EXPECT_EQ(run.exitCode, -1);
  }
}

TEST(Parser, ProgramNameIsTheFileNamePartButTheHintShowsArgumentZero) {
  Options options;
  testing::ParseRun run = runParse({"/usr/local/bin/vetline", "-quiett", "a", "b"});
  EXPECT_EQ(run.errors, "vetline: Unknown command line argument '-quiett'.  Try: "
                        "'/usr/local/bin/vetline --help'\n"
                        "vetline: Did you mean '--quiet'?\n"
                        "vetline: Too many positional arguments specified!\n"
                        "Can specify at most 1 positional arguments: See: "
                        "/usr/local/bin/vetline --help\n");
  EXPECT_EQ(registry().programName, "vetline");
}

TEST(Parser, EnvironmentTokensComeFirst) {
  Options options;
  testing::ParseRun run =
      runParse({"vetline", "-prefix=C", "f"}, "-v \"--prefix=A B\" --prefix=x\\ y");
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(options.summary(), "file=f prefix=A B|x y|C v=1x1");
  EXPECT_EQ(options.prefix.getPositions(), (std::vector<unsigned>{2, 3, 4}));
}

TEST(Parser, HelpAndVersionStopTheParseAfterEarlierErrors) {
  {
    Options options;
    testing::ParseRun run = runParse({"vetline", "-v=bad", "-version", "-zzz", "-quiet"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, formatVersion());
    EXPECT_EQ(run.errors,
              "vetline: for the -v option: 'bad' is invalid value for boolean argument! Try 0 "
              "or 1\n");
    EXPECT_EQ(options.quiet.occurrences, 0);
  }
  {
    Options options;
    testing::ParseRun run = runParse({"vetline", "-h", "-quiet"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, formatHelp(false, true));
    EXPECT_EQ(run.output.substr(0, 42), "USAGE: vetline [options] <file>\n\nOPTIONS:\n");
    EXPECT_EQ(options.quiet.occurrences, 0);
  }
  {
    // A false value only records it.
    Options options;
    testing::ParseRun run = runParse({"vetline", "-help=0", "-version=false"});
    EXPECT_EQ(run.exitCode, -1);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors, "vetline: for the --help option: does not allow a value! '0' "
                          "specified.\n"
                          "vetline: for the --version option: does not allow a value! "
                          "'false' specified.\n");
  }
}

struct NamedPositionalCase {
  std::vector<std::string> args;
  bool namesPositional;
};

// The arguments after a help or version request are not parsed, but they
// are read the way the parse would have read them.
const NamedPositionalCase namedPositionalCases[] = {
    {{"-version"}, false},
    {{"-version", "f"}, true},
    {{"f", "-version"}, true},
    {{"", "-version"}, false},
    {{"-version", ""}, false},
    {{"-version", "-"}, true},
    {{"-version", "--", "-v"}, true},
    {{"-version", "-input", "--", "-v"}, false},
    {{"-version", "-input", "f"}, false},
    {{"-version", "-input=f", "g"}, true},
    {{"-version", "-input"}, false},
    {{"-version", "-mode", "always"}, false},
    {{"-version", "-Ifoo", "f"}, true},
    {{"-version", "-I", "f"}, false},
    {{"-version", "-D", "f"}, true},
    {{"-version", "-vo", "f"}, false},
    {{"-version", "-no-such-option", "f"}, true},
    {{"-h", "-prefixes", "f", "-quiet"}, false},
    {{"-h", "-quiet", "f"}, true},
};

TEST(Parser, HelpAndVersionTellWhetherAPositionalWasNamed) {
  for (const NamedPositionalCase &c : namedPositionalCases) {
    std::string trace;
    for (const std::string &arg : c.args)
      trace += " '" + arg + "'";
    SCOPED_TRACE(trace);
    Options options;
    std::vector<std::string> args = {"vetline"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ParseSettings settings;
    std::string printed;
    StringOutputStream output(printed);
    settings.output = &output;
    settings.errors = &output;
    settings.mayExit = false;
    ParseResult result = parseArguments(args, settings);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.namesPositional, c.namesPositional);
    // Nothing after the request was acted on.
    EXPECT_EQ(options.input.occurrences + options.out.occurrences + options.quiet.occurrences +
                  options.prefix.occurrences,
              0);
  }
}

TEST(Parser, RequiredOptionsAndPositionals) {
  SubCommand tool("tool", "");
  SingleOption<std::string> name{"name", Required, sub(tool)};
  SingleOption<std::string> source{help("<source>"), Positional, Required, sub(tool)};
  ListOption<std::string> rest{help("<rest>..."), Positional, sub(tool)};
  SingleOption<std::string> last{help("<last>"), Positional, Required, sub(tool)};
  {
    testing::ParseRun run = runParse({"vetline", "tool"});
    EXPECT_EQ(run.errors, "vetline: Not enough positional command line arguments specified!\n"
                          "Must specify at least 2 positional arguments: See: vetline --help\n"
                          "vetline: for the --name option: must be specified at least once!\n");
  }
  testing::ParseRun run = runParse({"vetline", "tool", "a", "b", "-name=n", "c", "d"});
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(source.getValue(), "a");
  EXPECT_EQ(rest.getValues(), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(last.getValue(), "d");
  EXPECT_EQ(registry().activeSubCommand, &tool);
}

TEST(Parser, PositionalAfterUnboundedIsReported) {
  SubCommand tool("broken", "");
  ListOption<std::string> all{help("<all>"), Positional, ZeroOrMore, sub(tool)};
  SingleOption<std::string> never{help("<never>"), Positional, sub(tool)};
  testing::ParseRun run = runParse({"vetline", "broken", "x"});
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.errors, "vetline: CommandLine Error: Option '' is all messed up!\n2");
}

TEST(Parser, ConsumeAfterTakesTheRest) {
  SubCommand tool("run", "");
  SingleOption<std::string> program{help("<program>"), Positional, Required, sub(tool)};
  ListOption<std::string> programArgs{help("<args>..."), ConsumeAfter, sub(tool)};
  SingleOption<bool> flag{"flag", sub(tool)};
  testing::ParseRun run = runParse({"vetline", "run", "-flag", "prog", "-x", "--flag", "y"});
  EXPECT_EQ(run.errors, "");
  EXPECT_TRUE(flag.getValue());
  EXPECT_EQ(program.getValue(), "prog");
  EXPECT_EQ(programArgs.getValues(), (std::vector<std::string>{"-x", "--flag", "y"}));
}

TEST(Parser, SinkTakesUnknownArguments) {
  SubCommand tool("sink", "");
  ListOption<std::string> unknown{Sink, sub(tool)};
  testing::ParseRun run = runParse({"vetline", "sink", "-what", "plain"});
  EXPECT_TRUE(run.ok);
  EXPECT_EQ(unknown.getValues(), (std::vector<std::string>{"-what", "plain"}));
}

TEST(Parser, NamedPositionalConsumesArguments) {
  SubCommand tool("consume", "");
  ListOption<std::string> files{"files", Positional, ConsumesPositionals, sub(tool)};
  SingleOption<bool> flag{"flag", sub(tool)};
  testing::ParseRun run = runParse({"vetline", "consume", "-files", "a", "-b", "-flag"});
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(files.getValues(), (std::vector<std::string>{"a", "-b", "-flag"}));
  EXPECT_FALSE(flag.getValue());

  run = runParse({"vetline", "consume", "-files=x"});
  EXPECT_EQ(run.errors, "vetline: for the --files option: This argument does not take a "
                        "value.\n\tInstead, it consumes any positional arguments until the next "
                        "recognized option.\n");
}

TEST(Parser, LongOptionsNeedTwoDashes) {
  Options options;
  ParseSettings settings;
  std::string errorText;
  StringOutputStream errors(errorText);
  settings.errors = &errors;
  settings.mayExit = false;
  settings.longOptionsUseDoubleDash = true;
  registry().errorStream = &errors;
  ParseResult result = parseArguments({"vetline", "-quiet", "--quiet", "-v", "-vIx"}, settings);
  registry().errorStream = nullptr;
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(options.quiet.occurrences, 1);
  EXPECT_EQ(options.verbose.occurrences, 2);
  EXPECT_EQ(options.include.getValues(), std::vector<std::string>{"x"});
  EXPECT_EQ(errorText, "vetline: Unknown command line argument '-quiet'.  Try: 'vetline "
                       "--help'\nvetline: Did you mean '--quiet'?\n");
}

TEST(Parser, OccurrenceWithAdditionalValues) {
  ListOption<std::string> pair{"pair"};
  pair.additionalValues = 1;
  SingleOption<bool> pairFlag{"pair-flag", ValueDisallowed};
  pairFlag.additionalValues = 1;
  testing::ParseRun run = runParse({"vetline", "-pair", "a", "b", "-pair=c", "-d", "-pair-flag"});
  EXPECT_EQ(pair.getValues(), (std::vector<std::string>{"a", "b", "c", "-d"}));
  EXPECT_EQ(pair.occurrences, 2);
  EXPECT_EQ(run.errors, "vetline: for the --pair-flag option: multi-valued option specified "
                        "with ValueDisallowed modifier!\n");
  run = runParse({"vetline", "-pair", "only"});
  EXPECT_EQ(run.errors, "vetline: for the --pair option: not enough values!\n");
}

TEST(Parser, OccurrenceCountSaturates) {
  Options options;
  std::vector<std::string> args(70000, "-v");
  args.front() = "vetline";
  testing::ParseRun run = runParse(args);
  EXPECT_TRUE(run.ok);
  EXPECT_EQ(options.verbose.occurrences, 0xFFFF);
  EXPECT_EQ(options.verbose.position, 0xFFFF);
}

// ---- Response files in a parse ----

TEST_F(ResponseFiles, ParsedLikeArguments) {
  Options options;
  std::string file = write("args", "-v\n-prefix=A\n");
  testing::ParseRun run = runParse({"vetline", "@" + file, "-prefix=B"}, ("@" + file).c_str());
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(options.summary(), "prefix=A|A|B v=1x2");
}

// Forty files, each naming the next one twice, would expand to 2^40
// arguments. The parse reports the file whose expansion crossed the bound
// (the last of the chain: most expansions are of it) and parses nothing,
// quickly, since each file is read once.
TEST_F(ResponseFiles, DoublingChainIsACommandLineError) {
  Options options;
  for (int level = 0; level < 40; ++level) {
    std::string next = "@" + (dir / ("l" + std::to_string(level + 1))).string();
    write("l" + std::to_string(level), next + " " + next);
  }
  write("l40", "-v");
  testing::ParseRun run = runParse({"vetline", "-quiet", "@" + (dir / "l0").string(), "f"});
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.errors, "vetline: Response file '" + (dir / "l40").string() +
                            "' expands the command line past 4194304 arguments\n");
  EXPECT_EQ(options.summary(), "");
}

// ---- Suggestions ----

// The suggestion skips candidates by a lower bound; it must still pick the
// first nearest name in bucket order, as visiting every one would.
TEST(EditDistance, SuggestionMatchesFullSearch) {
  Options options;
  runParse({"vetline"});
  std::vector<std::pair<std::string_view, bool>> names;
  mainSubCommand().forEachEntry([&](std::string_view name, Option *o) {
    if (o->visibility() != Unlisted)
      names.emplace_back(name, o->valueExpectation() != ValueDisallowed);
  });
  std::mt19937 random(777);
  const std::string letters = "abcdeilmnopqrstuvx-=";
  for (int round = 0; round < 300; ++round) {
    std::string written(names[random() % names.size()].first);
    for (int edits = int(random() % 4); edits >= 0; --edits) {
      size_t at = written.empty() ? 0 : random() % written.size();
      char c = letters[random() % letters.size()];
      switch (random() % 3) {
      case 0:
        written.insert(at, 1, c);
        break;
      case 1:
        if (!written.empty())
          written.erase(at, 1);
        break;
      default:
        if (!written.empty())
          written[at] = c;
      }
    }
    if (written.empty() || written[0] == '-' || mainSubCommand().find(written))
      continue;
    std::string_view left = std::string_view(written).substr(0, written.find('='));
    size_t equals = written.find('=');
    std::string rest = equals == std::string::npos ? "" : written.substr(equals + 1);
    std::string expected;
    size_t best = SIZE_MAX;
    for (const auto &[name, allowsValue] : names) {
      size_t distance = editDistance(allowsValue ? left : std::string_view(written), name);
      if (distance < best) {
        best = distance;
        expected = std::string(name) + (allowsValue && !rest.empty() ? "=" + rest : "");
      }
    }
    SCOPED_TRACE(written);
    testing::ParseRun run = runParse({"vetline", "-" + written});
    std::string marker = "Did you mean '";
    size_t found = run.errors.find(marker);
    if (found == std::string::npos)
      continue; // Matched as a prefix or a group after all.
    std::string suggested = run.errors.substr(found + marker.size());
    suggested = suggested.substr(0, suggested.find("'?\n"));
    EXPECT_EQ(suggested.substr(suggested.find_first_not_of('-')), expected);
  }
}

TEST(EditDistance, HugeArgumentStaysLinear) {
  Options options;
  std::string huge = "-" + std::string(1000000, 'q') + "=1";
  testing::ParseRun run = runParse({"vetline", huge});
  std::string expectedStart = "vetline: Unknown command line argument '-qqqq";
  EXPECT_EQ(run.errors.substr(0, expectedStart.size()), expectedStart);
  std::string expectedEnd = "vetline: Did you mean '--quiet=1'?\n";
  EXPECT_EQ(run.errors.substr(run.errors.size() - expectedEnd.size()), expectedEnd);
}

} // namespace
} // namespace vetline::cl
