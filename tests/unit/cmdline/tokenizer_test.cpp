#include "support/cmdline/tokenizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vetline::cl {
namespace {

struct TokenCase {
  const char *text;
  std::vector<std::string> tokens;
};

const TokenCase tokenCases[] = {
    {"a b", {"a", "b"}},
    {"  a\t\tb\r\n", {"a", "b"}},
    {"\"a b\"c", {"a bc"}},
    {"x\"\"y ''", {"xy"}},
    {"'a\\'b' \"c\\\"d\"", {"a'b", "c\"d"}},
    {"'a\"b'", {"a\"b"}},
    {"a\\ b", {"a b"}},
    {"a\\", {"a\\"}},
    {"\\\\n", {"\\n"}},
    {"\"abc", {"abc"}},
    {"a \"b c", {"a", "b c"}},
    {"'a\\", {"a\\"}},
    {"", {}},
    {"\"\" ''", {}},
    {"one\ntwo\r\nthree", {"one", "two", "three"}},
    {"\x01\xff \x7f", {"\x01\xff", "\x7f"}},
};

TEST(Tokenizer, SplitsLikeAShell) {
  for (const TokenCase &c : tokenCases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> tokens;
    tokenizeCommandLine(c.text, tokens);
    EXPECT_EQ(tokens, c.tokens);
  }
}

} // namespace
} // namespace vetline::cl
