#include "support/text_search.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

namespace vetline {
namespace {

// The text in a block of exactly its size, so that the address sanitizer
// sees any read past its end.
size_t searchExact(const std::string &haystack, const std::string &needle) {
  std::unique_ptr<char[]> copy(new char[haystack.size()]);
  std::memcpy(copy.get(), haystack.data(), haystack.size());
  return findText(std::string_view(copy.get(), haystack.size()), needle);
}

TEST(TextSearch, AgreesWithStringFind) {
  std::mt19937 random(7);
  const std::string alphabets[] = {"ab", "abc\n", "xyz"};
  for (int round = 0; round < 20000; ++round) {
    const std::string &alphabet = alphabets[round % 3];
    auto pick = [&] { return alphabet[random() % alphabet.size()]; };
    std::string haystack(random() % 120, ' ');
    for (char &c : haystack)
      c = pick();
    std::string needle;
    size_t length = random() % 12;
    if (round % 2 == 0 && length <= haystack.size()) {
      needle = haystack.substr(random() % (haystack.size() - length + 1), length);
    } else {
      needle.assign(length, ' ');
      for (char &c : needle)
        c = pick();
    }
    ASSERT_EQ(searchExact(haystack, needle), std::string_view(haystack).find(needle))
        << "haystack \"" << haystack << "\", needle \"" << needle << "\"";
  }
}

// Texts where nearly every place agrees with the needle's end bytes but
// not with the rest: the search hands over to the general one part way and
// must still find the first occurrence, wherever it lies.
TEST(TextSearch, ManyNearMisses) {
  struct NearMiss {
    std::string base;
    std::string needle;
  };
  const NearMiss cases[] = {{"a", "aba"}, {"a", "aaaaaaaaaaaaabaaaaaaaaaaaaa"}, {"ab", "abbb"}};
  for (const NearMiss &c : cases) {
    std::string text;
    while (text.size() < 100000)
      text += c.base;
    EXPECT_EQ(searchExact(text, c.needle), std::string_view::npos);
    // Every place, up to well past the hand-over.
    text.resize(5000);
    for (size_t place = 0; place + c.needle.size() <= text.size(); ++place) {
      std::string haystack = text;
      haystack.replace(place, c.needle.size(), c.needle);
      ASSERT_EQ(searchExact(haystack, c.needle), std::string_view(haystack).find(c.needle))
          << c.needle << " at " << place;
    }
  }
}

} // namespace
} // namespace vetline
