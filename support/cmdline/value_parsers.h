// Value parsers of the option kinds: flags, unsigned numbers and
// enumerations turn an argument's text into an option's value. Each
// returns true on error, after the option's error report (Option::error),
// and leaves the value alone then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vetline::cl {

class Option;

// "", "1", "true", "True", "TRUE" set the flag; "0", "false", "False",
// "FALSE" clear it.
bool parseFlagValue(Option &option, std::string_view argName, std::string_view text, bool &value);

// A number with the support library's radix prefixes (format.h), no sign,
// no blanks, at most `limit`; `kindName` ("uint", "ulong") names the kind
// in the error report.
bool parseUnsignedValue(Option &o, std::string_view argName, std::string_view text, uint64_t limit,
                        std::string_view kindName, uint64_t &value);

struct EnumValueEntry {
  std::string_view name;
  int number;
  std::string_view help;
};

// The value table of an enumerated option, shared by its parser and help
// (help.cpp prints it).
class EnumTable {
public:
  std::vector<EnumValueEntry> entries;

  // The first entry named `text`, or null.
  const EnumValueEntry *find(std::string_view text) const;
  const EnumValueEntry *findNumber(int number) const;
  size_t helpWidth(const Option &o) const;
  void printHelpEntry(std::string &out, const Option &o, size_t width) const;
  bool parseNumber(Option &o, std::string_view argName, std::string_view text, int &number) const;
  void printEnumValue(std::string &out, const Option &o, int value, bool hasDefault,
                      int defaultValue, size_t globalWidth) const;
};

} // namespace vetline::cl
