#include "engine/directive_type.h"

#include <gtest/gtest.h>

namespace vetline {
namespace {

struct DescriptionCase {
  DirectiveType type;
  const char *expected;
};

const DescriptionCase descriptionCases[] = {
    {{DirectiveKind::None, 1, 0}, "invalid"},
    {{DirectiveKind::Plain, 1, 0}, "CHK"},
    {{DirectiveKind::Plain, 2, 0}, "CHK-COUNT"},
    {{DirectiveKind::Plain, 1, LiteralModifier}, "CHK{LITERAL}"},
    {{DirectiveKind::Plain, 5, LiteralModifier}, "CHK-COUNT{LITERAL}"},
    {{DirectiveKind::Next, 1, 0}, "CHK-NEXT"},
    {{DirectiveKind::Same, 1, LiteralModifier}, "CHK-SAME{LITERAL}"},
    {{DirectiveKind::Not, 1, 0}, "CHK-NOT"},
    {{DirectiveKind::Dag, 1, 0}, "CHK-DAG"},
    {{DirectiveKind::Label, 1, 0}, "CHK-LABEL"},
    {{DirectiveKind::Empty, 1, LiteralModifier}, "CHK-EMPTY{LITERAL}"},
    {{DirectiveKind::Comment, 1, LiteralModifier}, "CHK"},
    {{DirectiveKind::EndOfFile, 1, 0}, "implicit EOF"},
    {{DirectiveKind::BadNot, 1, 0}, "bad NOT"},
    {{DirectiveKind::BadCount, 1, 0}, "bad COUNT"},
};

TEST(DirectiveType, Description) {
  for (const DescriptionCase &c : descriptionCases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(directiveDescription("CHK", c.type), c.expected);
  }
}

TEST(DirectiveType, KindNumbersAreStable) {
  EXPECT_EQ(static_cast<uint32_t>(DirectiveKind::Comment), 8u);
  EXPECT_EQ(static_cast<uint32_t>(DirectiveKind::EndOfFile), 9u);
  EXPECT_EQ(static_cast<uint32_t>(DirectiveKind::BadCount), 11u);
}

} // namespace
} // namespace vetline
