#include "lint/directive_typo.h"

#include <gtest/gtest.h>

#include <string>

namespace vetline::lint {
namespace {

TEST(DirectiveTypo, Spellings) {
  CheckRequest request;
  request.checkPrefixes = {"A", "B", "A"};
  std::string all;
  for (const Spelling &spelling : directiveSpellings(request))
    all += spelling.text + (spelling.isCount ? "#" : "") + " ";
  EXPECT_EQ(all, "A A-NEXT A-SAME A-NOT A-DAG A-LABEL A-EMPTY A-COUNT# "
                 "B B-NEXT B-SAME B-NOT B-DAG B-LABEL B-EMPTY B-COUNT# ");
}

struct GuessCase {
  const char *word;
  Resemblance resemblance;
  const char *suggestion;
};

const GuessCase guessCases[] = {
    {"CHECK", Resemblance::Exact, "CHECK"},
    {"CHECK-COUNT-12", Resemblance::Exact, "CHECK-COUNT-12"},
    {"CHECK_NEXT", Resemblance::Separator, "CHECK-NEXT"},
    {"CHECK NOT", Resemblance::Separator, "CHECK-NOT"},
    {"CHECK-COUNT 4", Resemblance::Separator, "CHECK-COUNT-4"},
    {"check", Resemblance::Case, "CHECK"},
    {"Check_Label", Resemblance::Case, "CHECK-LABEL"},
    {"CHEKC", Resemblance::Near, "CHECK"},
    {"CHCK", Resemblance::Near, "CHECK"},
    {"CHECKK", Resemblance::Near, "CHECK"},
    {"CHECKNEXT", Resemblance::Near, "CHECK-NEXT"},
    {"CHECK-NXT", Resemblance::Near, "CHECK-NEXT"},
    {"CHECK-EMTPY", Resemblance::Near, "CHECK-EMPTY"},
    {"CHECK-COUNT", Resemblance::Near, "CHECK-COUNT-<n>"},
    {"CHECK-COUNT3", Resemblance::Near, "CHECK-COUNT-3"},
    {"CHEKC-LABEL", Resemblance::Near, "CHECK-LABEL"},
    // Two edits are near only for long spellings.
    {"CHCK-LABLE", Resemblance::None, ""},
    {"CHECK-LAB", Resemblance::None, ""},
    {"CHECK-LBAEL", Resemblance::Near, "CHECK-LABEL"},
    {"CHEK-LABEL", Resemblance::Near, "CHECK-LABEL"},
    {"XCHECK", Resemblance::None, ""},
    {"CHECKSUM", Resemblance::None, ""},
    {"CHECK-FOO", Resemblance::None, ""},
    {"Checks", Resemblance::None, ""},
    {"", Resemblance::None, ""},
};

TEST(DirectiveTypo, Guess) {
  CheckRequest request;
  request.checkPrefixes = {"CHECK"};
  std::vector<Spelling> spellings = directiveSpellings(request);
  for (const GuessCase &c : guessCases) {
    SCOPED_TRACE(c.word);
    Guess guess = guessDirective(c.word, spellings);
    EXPECT_EQ(guess.resemblance, c.resemblance);
    if (c.resemblance != Resemblance::None) {
      EXPECT_EQ(guess.suggestion, c.suggestion);
    }
  }
}

// A long word next to a short spelling is rejected before any distance is
// computed; so is a prefix of fewer than four bytes misspelt itself.
TEST(DirectiveTypo, ShortPrefixesAndLongWords) {
  CheckRequest request;
  request.checkPrefixes = {"AB"};
  std::vector<Spelling> spellings = directiveSpellings(request);
  EXPECT_EQ(guessDirective("AC", spellings).resemblance, Resemblance::None);
  EXPECT_EQ(guessDirective("AB-NOX", spellings).resemblance, Resemblance::Near);
  EXPECT_EQ(guessDirective(std::string(1 << 20, 'A'), spellings).resemblance, Resemblance::None);
}

} // namespace
} // namespace vetline::lint
