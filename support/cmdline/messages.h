// Every message of the option library, in one place: the errors of
// declarations, of the parse and of the value parsers, and the response
// file and debug counter reports. Option help texts stay with their
// declarations and the help layout in help.cpp. The texts are interface
// (tests and scripts compare them byte for byte): never reword one in
// passing.
//
// Texts with fields are positional format strings (support/format.h):
// "{0}" is the first argument, and only '{' is special.
#pragma once

#include <string_view>

namespace vetline::cl::messages {

// ---- Declarations and registration ----
constexpr std::string_view generalCategory = "General options";
constexpr std::string_view inconsistentRegistry = "inconsistency in registered CommandLine options";
// Program name, option name.
constexpr std::string_view registeredTwice =
    "{0}: CommandLine Error: Option '{1}' registered more than once!\n";
constexpr std::string_view secondConsumeAfter =
    "Cannot specify more than one option with cl::ConsumeAfter!";
constexpr std::string_view secondLocation = "cl::location(x) specified more than once!";
constexpr std::string_view secondAliasTarget =
    "cl::alias must only have one cl::aliasopt(...) specified!";
constexpr std::string_view aliasWithoutName = "cl::alias must have argument name specified!";
constexpr std::string_view aliasWithoutTarget =
    "cl::alias must have an cl::aliasopt(option) specified!";
constexpr std::string_view aliasWithSubCommand =
    "cl::alias must not have cl::sub(), aliased option's cl::sub() will be used!";

// ---- Option errors ----
// Program name, dashes, option name, message.
constexpr std::string_view optionError = "{0}: for the {1}{2} option: {3}\n";
// For an option without a name: its help text, message.
constexpr std::string_view namelessOptionError = "{0} option: {1}\n";
constexpr std::string_view requiresValue = "requires a value!";
constexpr std::string_view valueDisallowedWithValues =
    "multi-valued option specified with ValueDisallowed modifier!";
// The value given.
constexpr std::string_view valueNotAllowed = "does not allow a value! '{0}' specified.";
constexpr std::string_view notEnoughValues = "not enough values!";
constexpr std::string_view withinGroup = "may not occur within a group!";
constexpr std::string_view mustBeSpecified = "must be specified at least once!";
constexpr std::string_view consumesPositionals =
    "This argument does not take a value.\n\tInstead, it consumes any positional arguments "
    "until the next recognized option.";
constexpr std::string_view neverMatchedAfterConsumeAfter =
    "error - this positional option will never be matched, because it does not Require a "
    "value, and a cl::ConsumeAfter option is active!";
constexpr std::string_view neverMatchedAfterUnbounded =
    "error - option can never match, because another positional argument will match an "
    "unbounded number of values, and this option does not require a value!";

// ---- Value parsers ----
// The text given.
constexpr std::string_view invalidBoolean =
    "'{0}' is invalid value for boolean argument! Try 0 or 1";
// The text given, the kind ("uint", "ulong").
constexpr std::string_view invalidNumber = "'{0}' value invalid for {1} argument!";
// The text given.
constexpr std::string_view unknownEnumValue = "Cannot find option named '{0}'!";

// ---- The parse ----
// Program name, argument, argument 0.
constexpr std::string_view unknownArgument =
    "{0}: Unknown command line argument '{1}'.  Try: '{2} --help'\n";
// Program name, dashes, suggested name (with "=value" when given).
constexpr std::string_view didYouMean = "{0}: Did you mean '{1}{2}'?\n";
// Program name, option name, number of positional options.
constexpr std::string_view positionalMessedUp =
    "{0}: CommandLine Error: Option '{1}' is all messed up!\n{2}";
// Program name, count, "s" when the count is 2 or more, argument 0.
constexpr std::string_view notEnoughPositionals =
    "{0}: Not enough positional command line arguments specified!\n"
    "Must specify at least {1} positional argument{2}: See: {3} --help\n";
// Program name, count, argument 0.
constexpr std::string_view tooManyPositionals =
    "{0}: Too many positional arguments specified!\n"
    "Can specify at most {1} positional arguments: See: {2} --help\n";
// Program name, the response file report below.
constexpr std::string_view commandLineError = "{0}: {1}\n";

// ---- Response files ----
// The file as written, the limit, its unit.
constexpr std::string_view responseFileTooLarge =
    "Response file '{0}' expands the command line past {1} {2}";
constexpr std::string_view bytesUnit = "bytes";
constexpr std::string_view argumentsUnit = "arguments";

// ---- Debug counters: "DebugCounter Error: <subject><problem>" ----
constexpr std::string_view debugCounterError = "DebugCounter Error: {0}{1}\n";
constexpr std::string_view debugCounterWithoutEquals = " does not have an = in it";
constexpr std::string_view debugCounterNotANumber = " is not a number";
constexpr std::string_view debugCounterBadSuffix = " does not end with -skip or -count";
constexpr std::string_view debugCounterUnknown = " is not a registered counter";

// ---- Help and version (the layout of the entries is help.cpp's) ----
// The overview given to the parse.
constexpr std::string_view overview = "OVERVIEW: {0}\n";
// Program name.
constexpr std::string_view usage = "USAGE: {0}";
constexpr std::string_view usageSubCommand = " [subcommand]";
constexpr std::string_view usageOptions = " [options]";
// Subcommand name, description.
constexpr std::string_view subCommandHeading = "SUBCOMMAND '{0}': {1}\n\n";
// Program name, subcommand name.
constexpr std::string_view subCommandUsage = "USAGE: {0} {1} [options]";
constexpr std::string_view subCommandsHeading = "\n\nSUBCOMMANDS:\n\n";
// Program name.
constexpr std::string_view subCommandHint =
    "\n  Type \"{0} <subcommand> --help\" to get more help on a specific subcommand";
constexpr std::string_view optionsHeading = "\n\nOPTIONS:\n";
constexpr std::string_view emptyCategory = "  This option category has no options.\n";
constexpr std::string_view noDefault = "*no default*";
constexpr std::string_view unknownValue = "= *unknown option value*\n";
constexpr std::string_view emptyValueName = "<empty>";
// Home page, default target, host processor.
constexpr std::string_view versionBanner = "Orvane ({0}):\n"
                                           "  Orvane version 14.0.0git\n"
                                           "  Optimized build.\n"
                                           "  Default target: {1}\n"
                                           "  Host CPU: {2}\n";
constexpr std::string_view unknownCpu = "(unknown)";
// The version the banner names, for records that carry it alone.
constexpr std::string_view versionNumber = "14.0.0git";
static_assert(versionBanner.find(versionNumber) != std::string_view::npos);

} // namespace vetline::cl::messages
