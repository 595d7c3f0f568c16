// The nearest-name suggestion of the option library: for an argument that
// names no option, the registered name with the smallest edit distance
// (edit_distance.h), for the "Did you mean" line of the parser's report.
//
// Surprising: the candidates are visited in the subcommand's name-map bucket
// order and ties go to the first, so which of two equally near names is
// suggested depends on the map (name_map.h), not on the alphabet.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vetline::cl {

class SubCommand;

// `written` is the argument without its dashes. An option that takes a
// value is compared with the part before any '=', and the suggestion keeps
// "=" and the rest; an option without a value is compared with the whole.
// Unlisted options are never suggested. None when no option is listed.
std::optional<std::string> nearestOptionName(const SubCommand &sub, std::string_view written);

} // namespace vetline::cl
