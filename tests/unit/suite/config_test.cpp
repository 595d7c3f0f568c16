#include "suite/config.h"

#include <gtest/gtest.h>

namespace vetline::suite {
namespace {

TEST(SuiteConfig, ReadsEveryKey) {
  Fallible<SuiteConfig> config = parseConfig(R"(
name = "compiler"
suffixes = [".c", ".test"]
features = ["x86", "asan"]
timeout = 2.5
exclude = ["inputs", "slow/big.c"]
pass-environment = ["ASAN_OPTIONS"]
[substitutions]
cc = "gcc -O2"
run-tool = "./tool"
[environment]
LC_ALL = "C"
)",
                                             "/s/vetline-suite.toml");
  ASSERT_TRUE(config) << config.extractError().takePayload()->message();
  EXPECT_EQ(config->root, "/s");
  EXPECT_EQ(config->name, "compiler");
  EXPECT_EQ(config->suffixes, (std::vector<std::string>{".c", ".test"}));
  EXPECT_TRUE(config->hasFeature("asan"));
  EXPECT_FALSE(config->hasFeature("as"));
  EXPECT_EQ(config->timeout, 2.5);
  ASSERT_NE(config->substitution("run-tool"), nullptr);
  EXPECT_EQ(*config->substitution("cc"), "gcc -O2");
  EXPECT_EQ(config->substitution("file"), nullptr);
  EXPECT_EQ(config->environment.at(0), (std::pair<std::string, std::string>{"LC_ALL", "C"}));
  EXPECT_EQ(config->passEnvironment.at(0), "ASAN_OPTIONS");
  const std::pair<const char *, bool> excluded[] = {
      {"/s/inputs", true},     {"/s/inputs/a.c", true},   {"/s/inputs2/a.c", false},
      {"/s/slow/big.c", true}, {"/s/slow/big.cc", false}, {"/t/inputs", false},
  };
  for (const auto &[path, isExcluded] : excluded) {
    SCOPED_TRACE(path);
    EXPECT_EQ(config->isExcluded(path), isExcluded);
  }
}

TEST(SuiteConfig, NameDefaultsToTheFolder) {
  Fallible<SuiteConfig> config = parseConfig("suffixes = ['.t']", "/a/my suite/vetline-suite.toml");
  ASSERT_TRUE(config);
  EXPECT_EQ(config->name, "my suite");
  EXPECT_EQ(config->timeout, 0);
}

TEST(SuiteConfig, BadValues) {
  const std::pair<const char *, const char *> cases[] = {
      {"suffixes = ['.t']\nfeatures = ['a b']",
       "c.toml:2:13: error: a feature must be a word without ',' or blanks"},
      {"suffixes = ['.t']\nexclude = ['../x']",
       "c.toml:2:12: error: '../x' is not a path below the configuration's folder"},
      {"suffixes = ['.t']\npass-environment = ['A=B']",
       "c.toml:2:21: error: 'A=B' cannot name an environment variable"},
      {"suffixes = ['.t']\nname = 3", "c.toml:2:8: error: 'name' must be a text"},
      {"suffixes = ['.t']\ntimeout = 'x'",
       "c.toml:2:11: error: 'timeout' must be a number of seconds, 0 or more"},
  };
  for (const auto &[text, message] : cases) {
    SCOPED_TRACE(text);
    Fallible<SuiteConfig> config = parseConfig(text, "/d/c.toml");
    ASSERT_FALSE(config);
    EXPECT_EQ(config.extractError().takePayload()->message(), "/d/" + std::string(message));
  }
}

} // namespace
} // namespace vetline::suite
