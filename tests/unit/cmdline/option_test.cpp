#include "support/cmdline/option.h"

#include "tests/unit/cmdline/cmdline_test_support.h"

#include <gtest/gtest.h>

namespace vetline::cl {
namespace {

using testing::runParse;

// Captures option error reports made outside a parse (at declaration).
class CapturedReports {
public:
  CapturedReports() : stream(text) {
    registry().errorStream = &stream;
    registry().programName = "prog";
  }
  ~CapturedReports() { registry().errorStream = nullptr; }
  std::string text;

private:
  StringOutputStream stream;
};

TEST(Option, FlagWordLayout) {
  ListOption<std::string> packed{"packed", CommaSeparated, Hidden, Prefix, ValueOptional};
  // ZeroOrMore 1 | ValueOptional 1<<3 | Hidden 1<<5 | Prefix 2<<7 | CommaSeparated 1<<9 |
  // fully initialized 1<<14.
  EXPECT_EQ(packed.flagWord, 1 + 8 + 32 + 256 + 512 + 16384);
  SingleOption<bool> plain{"plain-flag", Unlisted, ConsumeAfter, ValueDisallowed};
  EXPECT_EQ(plain.flagWord, 4 + (3 << 3) + (2 << 5) + 16384);
  alias shown{"shown-alias", aliasopt(plain), Listed, Sink, Grouping, DefaultOption};
  EXPECT_EQ(shown.flagWord, ((4 | 8 | 16) << 9) + 16384);
}

TEST(Option, OneLetterNamesGroup) {
  SingleOption<bool> letter{"q"};
  EXPECT_TRUE(letter.hasExtraFlag(Grouping));
  letter.setName("quite-long");
  EXPECT_TRUE(letter.hasExtraFlag(Grouping));
  EXPECT_EQ(mainSubCommand().find("quite-long"), &letter);
  EXPECT_EQ(mainSubCommand().find("q"), nullptr);
  SingleOption<bool> word{"word"};
  EXPECT_FALSE(word.hasExtraFlag(Grouping));
}

TEST(Option, DestroyedOptionsLeaveTheRegistry) {
  {
    SingleOption<bool> temporary{"temporary"};
    EXPECT_EQ(mainSubCommand().find("temporary"), &temporary);
  }
  EXPECT_EQ(mainSubCommand().find("temporary"), nullptr);
}

TEST(Option, Categories) {
  OptionCategory zeta("Zeta");
  SingleOption<bool> general{"in-general"};
  SingleOption<bool> moved{"moved", cat(zeta)};
  SingleOption<bool> both{"both", cat(zeta), cat(generalCategory()), cat(zeta)};
  EXPECT_EQ(general.categories, std::vector<OptionCategory *>{&generalCategory()});
  EXPECT_EQ(moved.categories, std::vector<OptionCategory *>{&zeta});
  EXPECT_EQ(both.categories, (std::vector<OptionCategory *>{&zeta, &generalCategory()}));
}

TEST(Option, DefaultOptionsRegisterAtParseUnlessTaken) {
  SubCommand defaults("defaults");
  SingleOption<bool> mine{"dup", sub(defaults)};
  SingleOption<bool> fallback{"dup", DefaultOption, sub(defaults)};
  SingleOption<bool> spare{"spare", DefaultOption, sub(defaults)};
  EXPECT_EQ(defaults.find("spare"), nullptr);
  testing::ParseRun run = runParse({"vetline", "defaults", "-dup", "-spare"});
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(defaults.find("dup"), &mine);
  EXPECT_EQ(defaults.find("spare"), &spare);
  EXPECT_TRUE(mine.getValue());
  EXPECT_FALSE(fallback.getValue());
  EXPECT_TRUE(spare.getValue());
}

TEST(Option, EverySubcommandOptionsReachLaterSubcommands) {
  testing::ParseRun first = runParse({"vetline"});
  SubCommand later("later");
  EXPECT_NE(later.find("help"), nullptr);
  EXPECT_NE(later.find("h"), nullptr);
  EXPECT_EQ(later.find("input-that-does-not-exist"), nullptr);
}

void declareTwice() {
  registry().programName.clear();
  SingleOption<bool> first{"twice"};
  SingleOption<std::string> second{"twice"};
}

void declareTwoConsumers() {
  SubCommand s("consumers");
  ListOption<std::string> a{help("<a>"), ConsumeAfter, sub(s)};
  ListOption<std::string> b{help("<b>"), ConsumeAfter, sub(s)};
}

TEST(OptionDeathTest, DuplicateNameEndsTheProgram) {
  EXPECT_DEATH(declareTwice(), "^: CommandLine Error: Option 'twice' registered more than once!\n"
                               "ORVANE ERROR: inconsistency in registered CommandLine options\n");
}

TEST(OptionDeathTest, SecondConsumeAfterEndsTheProgram) {
  EXPECT_DEATH(declareTwoConsumers(),
               "^<b> option: Cannot specify more than one option with cl::ConsumeAfter!\n"
               "ORVANE ERROR: inconsistency in registered CommandLine options\n");
}

TEST(Option, AliasDeclarationErrors) {
  SubCommand elsewhere("elsewhere");
  SingleOption<bool> target{"alias-target"};
  SingleOption<bool> other{"alias-other"};
  CapturedReports reports;
  alias noName{aliasopt(target), help("nameless")};
  alias noTarget{"no-target"};
  alias twoTargets{"two-targets", aliasopt(target), aliasopt(other)};
  alias withSub{"with-sub", aliasopt(target), sub(elsewhere)};
  EXPECT_EQ(reports.text,
            "nameless option: cl::alias must have argument name specified!\n"
            "prog: for the --no-target option: cl::alias must have an cl::aliasopt(option) "
            "specified!\n"
            "prog: for the --two-targets option: cl::alias must only have one "
            "cl::aliasopt(...) specified!\n"
            "prog: for the --with-sub option: cl::alias must not have cl::sub(), aliased "
            "option's cl::sub() will be used!\n");
  EXPECT_EQ(mainSubCommand().find("no-target"), nullptr);
  EXPECT_EQ(twoTargets.target(), &target);
  // The alias takes the target's home, not the one it was given.
  EXPECT_EQ(mainSubCommand().find("with-sub"), &withSub);
  EXPECT_EQ(elsewhere.find("with-sub"), nullptr);
}

TEST(Option, AliasForwardsToItsTarget) {
  SingleOption<bool> flag{"aliased-flag"};
  alias shortFlag{"af", aliasopt(flag)};
  SingleOption<uint32_t> number{"aliased-number", init(7u)};
  alias shortNumber{"an", aliasopt(number)};
  EXPECT_EQ(shortFlag.valueExpectation(), ValueOptional);
  EXPECT_EQ(shortNumber.valueExpectation(), ValueRequired);
  testing::ParseRun run = runParse({"vetline", "-af", "-an", "12", "-an=x"});
  EXPECT_EQ(run.errors, "vetline: for the --aliased-number option: 'x' value invalid for uint "
                        "argument!\n");
  EXPECT_TRUE(flag.getValue());
  EXPECT_EQ(flag.occurrences, 1);
  EXPECT_EQ(shortFlag.occurrences, 0);
  EXPECT_EQ(number.getValue(), 12u);
  EXPECT_EQ(number.occurrences, 2);
  shortNumber.resetToDefault();
  EXPECT_EQ(number.getValue(), 7u);
}

TEST(Option, ExternalStorage) {
  bool stored = true;
  bool other = false;
  CapturedReports reports;
  SingleOption<bool> bound{"bound", location(stored), location(other)};
  EXPECT_EQ(reports.text, "prog: for the --bound option: cl::location(x) specified more than "
                          "once!\n");
  EXPECT_TRUE(bound.getDefault().valid);
  EXPECT_TRUE(bound.getDefault().value);
  testing::ParseRun run = runParse({"vetline", "-bound=0"});
  EXPECT_FALSE(stored);
  EXPECT_FALSE(other);
  bound.resetToDefault();
  EXPECT_TRUE(stored);
}

TEST(Option, CallbacksSeeEachValue) {
  std::vector<std::string> seen;
  ListOption<std::string> list{"seen", CommaSeparated,
                               callback([&](const std::string &v) { seen.push_back(v); })};
  uint64_t lastNumber = 0;
  SingleOption<uint64_t> number{"seen-number",
                                callback([&](const uint64_t &v) { lastNumber = v; })};
  runParse({"vetline", "-seen=a,,b", "-seen-number=0x20", "-seen-number=bad"});
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(lastNumber, 32u);
}

TEST(Option, PrintValue) {
  enum class Shade { Light = 1, Dark = 2, Unnamed = 9 };
  SingleOption<bool> flag{"pv-flag"};
  SingleOption<std::string> text{"pv-text"};
  SingleOption<std::string> withDefault{"pv-default", init("x")};
  SingleOption<Shade> shade{
      "pv-shade", init(Shade::Light),
      values({enumValue(Shade::Light, "light", ""), enumValue(Shade::Dark, "dark", "")})};
  ListOption<std::string> list{"pv-list"};
  std::string out;
  flag.printValue(out, 12, false);
  withDefault.printValue(out, 12, false);
  shade.printValue(out, 12, false);
  EXPECT_EQ(out, "");

  flag.setValue(true);
  text.setValue("some");
  shade.setValue(Shade::Dark);
  flag.printValue(out, 12, false);
  text.printValue(out, 12, false);
  text.printValue(out, 12, true);
  withDefault.printValue(out, 12, true);
  shade.printValue(out, 12, false);
  shade.setValue(Shade::Unnamed);
  shade.printValue(out, 12, false);
  list.printValue(out, 12, true);
  EXPECT_EQ(out, "  --pv-flag     = true     (default: false)\n"
                 "  --pv-text     = some     (default: *no default*)\n"
                 "  --pv-default  = x        (default: x)\n"
                 "    --pv-shade    = dark     (default: light)\n"
                 "    --pv-shade    = *unknown option value*\n");
}

} // namespace
} // namespace vetline::cl
