#include "support/cmdline/value_parsers.h"

#include "support/cmdline/option.h"
#include "support/format.h"

namespace vetline::cl {

bool parseFlagValue(Option &option, std::string_view argName, std::string_view text, bool &value) {
  if (text.empty() || text == "1" || text == "true" || text == "True" || text == "TRUE") {
    value = true;
    return false;
  }
  if (text == "0" || text == "false" || text == "False" || text == "FALSE") {
    value = false;
    return false;
  }
  return option.error(
      quotedMessage("'", text, "' is invalid value for boolean argument! Try 0 or 1"), argName);
}

bool parseUnsignedValue(Option &o, std::string_view argName, std::string_view text, uint64_t limit,
                        std::string_view kindName, uint64_t &value) {
  uint64_t result = 0;
  if (!parseRadixNumber(text, result) || result > limit)
    return o.error(
        quotedMessage("'", text, "' value invalid for ").append(kindName).append(" argument!"),
        argName);
  value = result;
  return false;
}

const EnumValueEntry *EnumTable::find(std::string_view text) const {
  for (const EnumValueEntry &entry : entries)
    if (entry.name == text)
      return &entry;
  return nullptr;
}

const EnumValueEntry *EnumTable::findNumber(int number) const {
  for (const EnumValueEntry &entry : entries)
    if (entry.number == number)
      return &entry;
  return nullptr;
}

bool EnumTable::parseNumber(Option &o, std::string_view argName, std::string_view text,
                            int &number) const {
  const EnumValueEntry *entry = find(text);
  if (!entry)
    return o.error(quotedMessage("Cannot find option named '", text, "'!"), argName);
  number = entry->number;
  return false;
}

} // namespace vetline::cl
