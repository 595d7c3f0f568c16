#include "suite/reports.h"

#include "suite/console.h"
#include "support/format.h"
#include "support/system_calls.h"

#include <cerrno>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <unistd.h>

namespace vetline::suite {
namespace {

// Every text this component writes. They are interface: never reword them.
namespace text {
constexpr std::string_view cannotWrite = "cannot write the report '{0}': {1}";
// {0} file, {1} line, {2} column, {3} kind, {4} message.
constexpr std::string_view toolFailure = "{0}:{1}:{2}: {3}: {4}\n";
constexpr std::string_view toolError = "vetline could not check: {0}\n";
constexpr std::string_view failureCommand = "command (line {0}): {1}\n";
constexpr std::string_view failureStatus = "exit status: {0}\n";
constexpr std::string_view failureSignal = "killed by signal {0}\n";
constexpr std::string_view failureTimeout = "stopped: the time limit ran out\n";
constexpr std::string_view failureOutput = "--- standard output ---\n";
constexpr std::string_view failureError = "--- standard error ---\n";
constexpr std::string_view failureTool = "--- vetline ---\n";
// The failure element's message attribute, by status.
constexpr std::string_view messageFailed = "line {0} ended with exit status {1}";
constexpr std::string_view messageSignal = "line {0} was killed by signal {1}";
constexpr std::string_view messageTimeout = "the time limit ran out on line {0}";
constexpr std::string_view messageUnexpectedPass = "passed, but was expected to fail";
constexpr std::string_view junitHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites "
                                       "tests=\"{0}\" failures=\"{1}\" errors=\"{2}\" "
                                       "skipped=\"{3}\" time=\"{4}\">\n<testsuite "
                                       "name=\"vetline-suite\" tests=\"{0}\" failures=\"{1}\" "
                                       "errors=\"{2}\" skipped=\"{3}\" time=\"{4}\">\n";
constexpr std::string_view junitTail = "</testsuite>\n</testsuites>\n";
constexpr std::string_view partialSuffix = ".partial";
} // namespace text

using nlohmann::json;

Error writeError(const std::string &path, int number) {
  return makeMessageError(
      inconvertibleErrorCode(),
      formatPositionalString(text::cannotWrite, path, std::generic_category().message(number)));
}

Fallible<int> createFile(const std::string &path) {
  int fd;
  do
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  if (fd < 0)
    return writeError(path, errno);
  return fd;
}

std::string secondsText(double seconds) {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%.3f", seconds);
  return buffer;
}

std::string dumpJson(const json &value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The fields of a record written by someone else: a missing field or one
// of another type reads as empty, never as an error (the library's own
// accessors would throw).
std::string textField(const json &object, const char *name) {
  auto found = object.find(name);
  if (found == object.end() || !found->is_string())
    return {};
  return found->get<std::string>();
}

uint64_t numberField(const json &object, const char *name) {
  auto found = object.find(name);
  if (found == object.end() || !found->is_number_unsigned())
    return 0;
  return found->get<uint64_t>();
}

// Length of the valid UTF-8 sequence at the front of `text`, or 0.
size_t utf8Length(std::string_view text) {
  unsigned char lead = static_cast<unsigned char>(text[0]);
  size_t length = lead < 0x80                    ? 1
                  : lead >= 0xC2 && lead <= 0xDF ? 2
                  : lead >= 0xE0 && lead <= 0xEF ? 3
                  : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                 : 0;
  if (length == 0 || text.size() < length)
    return 0;
  for (size_t i = 1; i < length; ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
      return 0;
  unsigned char second = static_cast<unsigned char>(text[1]);
  // Overlong forms, surrogates and values above U+10FFFF.
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
    return 0;
  // U+FFFE and U+FFFF are not XML characters either.
  if (lead == 0xEF && second == 0xBF && (static_cast<unsigned char>(text[2]) & 0xFE) == 0xBE)
    return 0;
  return length;
}

json captureJson(const StreamCapture &stream) {
  json value = {{"text", stream.shown}, {"bytes", stream.size}};
  if (!stream.file.empty())
    value["file"] = stream.file;
  return value;
}

json resultJson(const TestResult &result) {
  json commands = json::array();
  for (const CommandResult &command : result.commands) {
    json entry = {{"command", command.command}, {"line", command.line}};
    entry["exitStatus"] = command.exitStatus >= 0 ? json(command.exitStatus) : json(nullptr);
    if (command.signal)
      entry["signal"] = command.signal;
    entry["timedOut"] = command.timedOut;
    entry["stdout"] = captureJson(command.output);
    entry["stderr"] = captureJson(command.error);
    commands.push_back(std::move(entry));
  }
  json records = json::array();
  size_t unreadable = 0;
  for (const std::string &line : result.vetlineRecords) {
    json record = json::parse(line, nullptr, false);
    if (record.is_discarded() || !record.is_object())
      ++unreadable;
    else
      records.push_back(std::move(record));
  }
  json value = {{"path", result.test->shownPath},
                {"file", result.test->absolutePath},
                {"id", result.test->id},
                {"repetition", result.repetition},
                {"status", statusName(result.status)},
                {"duration", result.seconds}};
  if (!result.message.empty())
    value["message"] = result.message;
  value["commands"] = std::move(commands);
  value["vetline"] = std::move(records);
  if (unreadable > 0)
    value["vetlineUnreadableLines"] = unreadable;
  return value;
}

class JsonReport final : public ReportFile {
public:
  JsonReport(std::string path, int fd) : path(std::move(path)), fd(fd) {}
  ~JsonReport() override {
    if (fd >= 0)
      ::close(fd);
  }

  Error add(const TestResult &result) override {
    std::string line = dumpJson(resultJson(result)) + "\n";
    if (!writeAll(fd, line.data(), line.size()))
      return writeError(path, errno);
    return success();
  }

  Error close(double) override {
    int closing = fd;
    fd = -1;
    if (::close(closing) != 0)
      return writeError(path, errno);
    return success();
  }

private:
  std::string path;
  int fd;
};

// The failure element's text: the failing command, its status, its output
// and what the tool reported.
std::string failureText(const TestResult &result) {
  std::string body;
  if (!result.commands.empty()) {
    const CommandResult &command = result.commands.back();
    body += formatPositionalString(text::failureCommand, command.line, command.command);
    if (command.timedOut)
      body += text::failureTimeout;
    else if (command.signal)
      body += formatPositionalString(text::failureSignal, command.signal);
    else
      body += formatPositionalString(text::failureStatus, command.exitStatus);
    if (!command.output.shown.empty())
      body += std::string(text::failureOutput) + command.output.shown;
    if (!command.error.shown.empty())
      body += std::string(text::failureError) + command.error.shown;
  }
  std::string tool = describeToolFailures(result.vetlineRecords);
  if (!tool.empty())
    body += std::string(text::failureTool) + tool;
  return body;
}

std::string failureMessage(const TestResult &result) {
  if (result.status == TestStatus::Broken)
    return result.message;
  if (result.status == TestStatus::UnexpectedPass || result.commands.empty())
    return std::string(text::messageUnexpectedPass);
  const CommandResult &command = result.commands.back();
  if (command.timedOut)
    return formatPositionalString(text::messageTimeout, command.line);
  if (command.signal)
    return formatPositionalString(text::messageSignal, command.line, command.signal);
  return formatPositionalString(text::messageFailed, command.line, command.exitStatus);
}

class StringWriter final : public pugi::xml_writer {
public:
  explicit StringWriter(std::string &into) : into(into) {}
  void write(const void *data, size_t size) override {
    into.append(static_cast<const char *>(data), size);
  }

private:
  std::string &into;
};

class JunitReport final : public ReportFile {
public:
  JunitReport(std::string path, int fd) : path(std::move(path)), partialFd(fd) {}
  ~JunitReport() override {
    if (partialFd >= 0) {
      ::close(partialFd);
      ::unlink((path + std::string(text::partialSuffix)).c_str());
    }
  }

  Error add(const TestResult &result) override;
  Error close(double wallSeconds) override;

private:
  std::string path;
  int partialFd;
  size_t tests = 0, failures = 0, errors = 0, skipped = 0;
};

Error JunitReport::add(const TestResult &result) {
  pugi::xml_document document;
  pugi::xml_node testcase = document.append_child("testcase");
  std::string name = result.test->id;
  if (result.repetition > 1)
    name += " (run " + std::to_string(result.repetition) + ")";
  testcase.append_attribute("name").set_value(xmlSafeText(name).c_str());
  testcase.append_attribute("classname").set_value(xmlSafeText(result.test->config->name).c_str());
  testcase.append_attribute("file").set_value(xmlSafeText(result.test->shownPath).c_str());
  testcase.append_attribute("time").set_value(secondsText(result.seconds).c_str());
  ++tests;
  if (result.status == TestStatus::Skipped) {
    ++skipped;
    testcase.append_child("skipped").append_attribute("message").set_value(
        xmlSafeText(result.message).c_str());
  } else if (countsAsFailure(result.status)) {
    bool isError = result.status == TestStatus::Broken;
    (isError ? errors : failures) += 1;
    pugi::xml_node failure = testcase.append_child(isError ? "error" : "failure");
    failure.append_attribute("message").set_value(xmlSafeText(failureMessage(result)).c_str());
    failure.append_attribute("type").set_value(std::string(statusName(result.status)).c_str());
    failure.text().set(xmlSafeText(failureText(result)).c_str());
  }
  std::string written;
  StringWriter writer(written);
  document.save(writer, "  ", pugi::format_indent | pugi::format_no_declaration,
                pugi::encoding_utf8);
  if (!writeAll(partialFd, written.data(), written.size()))
    return writeError(path, errno);
  return success();
}

Error JunitReport::close(double wallSeconds) {
  std::string partial = path + std::string(text::partialSuffix);
  Fallible<int> fd = createFile(path);
  if (!fd)
    return fd.extractError();
  std::string head = formatPositionalString(text::junitHead, tests, failures, errors, skipped,
                                            secondsText(wallSeconds));
  bool isWritten = writeAll(*fd, head.data(), head.size());
  char chunk[65536];
  ssize_t got = 0;
  if (::lseek(partialFd, 0, SEEK_SET) != 0)
    isWritten = false;
  while (isWritten && (got = readRetrying(partialFd, chunk, sizeof(chunk))) > 0)
    isWritten = writeAll(*fd, chunk, size_t(got));
  isWritten =
      isWritten && got == 0 && writeAll(*fd, text::junitTail.data(), text::junitTail.size());
  int number = errno;
  isWritten = ::close(*fd) == 0 && isWritten;
  ::close(partialFd);
  partialFd = -1;
  ::unlink(partial.c_str());
  if (!isWritten)
    return writeError(path, number);
  return success();
}

} // namespace

std::string xmlSafeText(std::string_view original) {
  std::string plain = withoutColors(original);
  std::string_view rest = plain;
  std::string safe;
  safe.reserve(plain.size());
  constexpr std::string_view replacement = "\xEF\xBF\xBD";
  while (!rest.empty()) {
    size_t length = utf8Length(rest);
    unsigned char first = static_cast<unsigned char>(rest[0]);
    bool isForbidden = length == 0 ||
                       (first < 0x20 && first != '\t' && first != '\n' && first != '\r') ||
                       first == 0x7F;
    if (isForbidden) {
      safe += replacement;
      rest.remove_prefix(length == 0 ? 1 : length);
      continue;
    }
    safe += rest.substr(0, length);
    rest.remove_prefix(length);
  }
  return safe;
}

std::string describeToolFailures(const std::vector<std::string> &records) {
  std::string described;
  for (const std::string &line : records) {
    json record = json::parse(line, nullptr, false);
    if (record.is_discarded() || !record.is_object())
      continue;
    if (textField(record, "outcome") == "error") {
      described += formatPositionalString(text::toolError, textField(record, "error"));
      continue;
    }
    auto failures = record.find("failures");
    if (failures == record.end() || !failures->is_array())
      continue;
    for (const json &failure : *failures) {
      if (!failure.is_object())
        continue;
      auto found = failure.find("check");
      json check = found != failure.end() && found->is_object() ? *found : json::object();
      described += formatPositionalString(
          text::toolFailure, textField(check, "file"), numberField(check, "line"),
          numberField(check, "column"), textField(failure, "kind"), textField(failure, "message"));
    }
  }
  return described;
}

Fallible<std::unique_ptr<ReportFile>> openJsonReport(const std::string &path) {
  Fallible<int> fd = createFile(path);
  if (!fd)
    return fd.extractError();
  return std::unique_ptr<ReportFile>(std::make_unique<JsonReport>(path, *fd));
}

Fallible<std::unique_ptr<ReportFile>> openJunitReport(const std::string &path) {
  std::string partial = path + std::string(text::partialSuffix);
  int fd;
  do
    fd = ::open(partial.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  if (fd < 0)
    return writeError(partial, errno);
  return std::unique_ptr<ReportFile>(std::make_unique<JunitReport>(path, fd));
}

} // namespace vetline::suite
