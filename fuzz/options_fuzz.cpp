// Fuzz target for the option library: arbitrary bytes become the
// environment variable's value, the process arguments and a response file,
// parsed in-process against every option the tool registers.
//
// Input layout: byte 0 holds flags (bit 0: add "@<file>" whose content is
// the variable's value; bit 1: that file also names itself; bit 2: long
// options need two dashes). The rest is split at zero bytes: the first piece
// is the variable's value, every further piece one argument.
//
// Besides crashes, checks that the tokeniser never yields an empty token and
// that quoting its tokens and splitting them again gives them back.
#include "support/cmdline/library_options.h"
#include "support/cmdline/option.h"
#include "support/cmdline/parser.h"
#include "support/cmdline/tokenizer.h"
#include "support/output_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace vetline;

// A plain array, so the exit handler that removes the file never sees a
// destroyed string.
char responseFileName[] = "/tmp/vetline-options-fuzz-XXXXXX";

const char *responseFilePath() {
  static bool made = [] {
    int fd = mkstemp(responseFileName);
    if (fd < 0) {
      std::perror("options_fuzz: making the response file");
      std::abort();
    }
    close(fd);
    std::atexit([] { unlink(responseFileName); });
    return true;
  }();
  (void)made;
  return responseFileName;
}

void writeResponseFile(std::string_view text) {
  int fd = open(responseFilePath(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0)
    std::abort();
  while (!text.empty()) {
    ssize_t written = write(fd, text.data(), text.size());
    if (written <= 0)
      std::abort();
    text.remove_prefix(size_t(written));
  }
  close(fd);
}

void checkTokeniser(std::string_view text) {
  std::vector<std::string> tokens;
  cl::tokenizeCommandLine(text, tokens);
  std::string quoted;
  for (const std::string &token : tokens) {
    if (token.empty())
      std::abort();
    quoted += " \"";
    for (char c : token) {
      if (c == '\\' || c == '"')
        quoted += '\\';
      quoted += c;
    }
    quoted += '"';
  }
  std::vector<std::string> again;
  cl::tokenizeCommandLine(quoted, again);
  if (again != tokens)
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0)
    return 0;
  unsigned flags = data[0];
  std::string_view rest(reinterpret_cast<const char *>(data + 1), size - 1);
  size_t end = rest.find('\0');
  std::string environment(rest.substr(0, end));
  checkTokeniser(environment);

  std::vector<std::string> args = {"vetline"};
  while (end != std::string_view::npos) {
    rest.remove_prefix(end + 1);
    end = rest.find('\0');
    args.emplace_back(rest.substr(0, end));
  }
  if (flags & 1) {
    std::string file = environment;
    if (flags & 2)
      file += std::string(" @") + responseFilePath();
    writeResponseFile(file);
    args.push_back(std::string("@") + responseFilePath());
  }

  std::string messages;
  std::string output;
  StringOutputStream errors(messages);
  StringOutputStream help(output);
  cl::resetAllOptions();
  cl::registry().errorStream = &errors;
  cl::ParseSettings settings;
  settings.errors = &errors;
  settings.output = &help;
  settings.environmentValue = environment.c_str();
  settings.longOptionsUseDoubleDash = flags & 4;
  settings.mayExit = false;
  cl::ParseResult result = cl::parseArguments(args, settings);
  cl::registry().errorStream = nullptr;
  // A stopped parse printed help or a version; a failed one said why.
  if (result.exitCode == 0 && output.empty())
    std::abort();
  if (!result.ok && messages.empty())
    std::abort();
  return 0;
}
