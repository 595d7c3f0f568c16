// The runner's options, declared as global objects of the option library
// and registered before the entry point runs, like the tool's and the
// linter's, so that --help looks alike.
#pragma once

#include "support/cmdline/option.h"

#include <cstdint>
#include <string>

namespace vetline::suite::options {

extern cl::ListOption<std::string> paths;
extern cl::SingleOption<uint32_t> jobs;
extern cl::SingleOption<uint32_t> timeout;
extern cl::SingleOption<std::string> filter;
extern cl::SingleOption<std::string> shard;
extern cl::SingleOption<bool> failedOnly;
extern cl::SingleOption<uint32_t> repeat;
extern cl::SingleOption<uint32_t> slowest;
extern cl::SingleOption<std::string> junit;
extern cl::SingleOption<std::string> json;
extern cl::SingleOption<std::string> output;
extern cl::SingleOption<uint32_t> outputLimit;
extern cl::SingleOption<std::string> vetline;
extern cl::SingleOption<bool> quiet;
extern cl::SingleOption<bool> list;

} // namespace vetline::suite::options
