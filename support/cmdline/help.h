// Help, option-value and version printing, and the library's built-in
// "help", "help-hidden", "help-list", "help-list-hidden", "h", "version",
// "print-options" and "print-all-options" options.
//
// Surprising: setting a help or version option prints while its argument is
// parsed and ends the process with status 0 (see requestExit in parser.h);
// arguments after it are never looked at. Printing help empties the
// registry's extra help paragraphs, so a second help prints none.
#pragma once

#include <functional>
#include <string>

namespace vetline {
class OutputStream;
}

namespace vetline::cl {

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

} // namespace vetline::cl
