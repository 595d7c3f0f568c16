#include "suite/reports.h"

#include <gtest/gtest.h>

#include <pugixml.hpp>

namespace vetline::suite {
namespace {

struct SafeCase {
  std::string_view raw;
  std::string_view safe;
};

const SafeCase safeCases[] = {
    {"plain <&> \"'", "plain <&> \"'"},
    {"\x1b[1;31merror\x1b[0m: x", "error: x"},
    {"tab\tcr\rlf\n", "tab\tcr\rlf\n"},
    {std::string_view("nul\0bell\a\x1b", 10), "nul\xEF\xBF\xBD"
                                              "bell\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"\xff\xfe", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    // Valid multi-byte characters stay; overlong forms, surrogates, cut
    // sequences and the non-characters U+FFFE and U+FFFF do not.
    {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
    {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"\xEF\xBF\xBE", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
};

// What the sanitiser gives is exact, and a document holding it in text and
// in an attribute reads back the same through the XML parser.
TEST(Reports, XmlSafeText) {
  for (const SafeCase &c : safeCases) {
    SCOPED_TRACE(std::string(c.raw));
    std::string safe = xmlSafeText(c.raw);
    EXPECT_EQ(safe, c.safe);
    pugi::xml_document document;
    pugi::xml_node node = document.append_child("x");
    node.append_attribute("a").set_value(safe.c_str());
    node.text().set(safe.c_str());
    std::ostringstream written;
    document.save(written);
    pugi::xml_document reread;
    ASSERT_TRUE(reread.load_string(written.str().c_str(), pugi::parse_default | pugi::parse_eol));
    EXPECT_EQ(std::string(reread.child("x").attribute("a").value()), safe);
  }
}

TEST(Reports, ToolFailures) {
  std::vector<std::string> records = {
      R"({"outcome":"failed","failures":[{"kind":"CHECK-NEXT","message":"not found",)"
      R"("check":{"file":"a.txt","line":3,"column":13}},{"kind":"CHECK","message":"m"}]})",
      "not json",
      R"({"outcome":"error","error":"no check strings found"})",
      R"({"outcome":"failed","failures":[{"kind":7,"check":{"line":"x"}}, 3]})",
      R"([1,2])",
      R"({"outcome":"passed"})",
  };
  EXPECT_EQ(describeToolFailures(records), "a.txt:3:13: CHECK-NEXT: not found\n"
                                           ":0:0: CHECK: m\n"
                                           "vetline could not check: no check strings found\n"
                                           ":0:0: : \n");
}

} // namespace
} // namespace vetline::suite
