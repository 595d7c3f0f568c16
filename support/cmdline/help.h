// Help, option-value and version printing, and the library's built-in
// "help", "help-hidden", "help-list", "help-list-hidden", "h", "version",
// "print-options" and "print-all-options" options.
//
// Surprising: setting a help or version option prints while its argument is
// parsed and ends the process with status 0 (see requestExit in parser.h);
// arguments after it are never looked at. Printing help empties the
// registry's extra help paragraphs, so a second help prints none.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace vetline {
class OutputStream;
}

namespace vetline::cl {

class Option;

// The help text of the active subcommand: `showHidden` also lists `Hidden`
// options, `categorized` groups them by category.
std::string formatHelp(bool showHidden, bool categorized);

// The five-line version banner.
std::string formatVersion();

// A program's own version printer replaces the banner; extra printers run
// after it, each after a newline.
void setVersionPrinter(std::function<void(OutputStream &)> printer);
void addExtraVersionPrinter(std::function<void(OutputStream &)> printer);

// "printValue" of every option of the active subcommand, sorted by name.
std::string formatOptionValues(bool force);

// Makes the built-in options (once); the parser calls it before it starts.
void ensureHelpOptions();

// ---- Help-entry layout shared by the option kinds ----

// Width of "  --name - ": name length + 7 (7 for a one-letter name).
size_t prefixWidth(std::string_view name);
void writeDashedName(std::string &out, std::string_view name);
// The description column: spaces up to the global width, " - ", the first
// line, then every further line indented to the global width.
void writeDescription(std::string &out, std::string_view help, size_t globalWidth, size_t ownWidth);
size_t flagHelpWidth(const Option &option);
void printFlagEntry(std::string &out, const Option &option, size_t globalWidth);
size_t valueHelpWidth(const Option &option, std::string_view kindValueName);
void printValueEntry(std::string &out, const Option &option, std::string_view kindValueName,
                     size_t globalWidth);
// "--name" padded to the global width, "= ", the value padded to 8, and the
// default; `defaultText` null means "*no default*".
void printValueLine(std::string &out, const Option &option, std::string_view value,
                    const std::string *defaultText, size_t globalWidth);

} // namespace vetline::cl
