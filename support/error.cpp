#include "support/error.h"

#include "support/output_stream.h"
#include "support/small_vector.h"
#include "support/system_calls.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace vetline {

// ---- Messages ----

const char allocationFailed[] = "Allocation failed";

namespace {

constexpr const char *categoryName = "Error";
constexpr const char *multipleErrorsMessage = "Multiple errors";
constexpr const char *fileErrorMessage = "A file error occurred.";
constexpr const char *inconvertibleErrorMessage =
    "Inconvertible error value. An error has occurred that could not be converted to a "
    "known std::error_code. Please file a bug.";
constexpr std::string_view errorGroupHeading = "Multiple errors:\n";
constexpr std::string_view fatalBanner = "ORVANE ERROR: ";
constexpr std::string_view outOfMemoryBanner = "ORVANE ERROR: out of memory\n";
constexpr std::string_view unreachableText = "UNREACHABLE executed";

} // namespace

static_assert(sizeof(Error) == sizeof(void *), "passing success must cost one pointer");

char ErrorPayload::id = 0;

ErrorPayload::~ErrorPayload() = default;

std::string ErrorPayload::message() const {
  std::string text;
  StringOutputStream os(text);
  log(os);
  return text;
}

namespace {

class ErrorCategoryImpl final : public std::error_category {
public:
  const char *name() const noexcept override { return categoryName; }

  std::string message(int code) const override {
    switch (static_cast<ErrorCategoryCode>(code)) {
    case ErrorCategoryCode::MultipleErrors:
      return multipleErrorsMessage;
    case ErrorCategoryCode::FileError:
      return fileErrorMessage;
    case ErrorCategoryCode::InconvertibleError:
      return inconvertibleErrorMessage;
    }
    reportUnreachable("unknown code of the Error category");
  }
};

StackTracePrinter stackTracePrinter = nullptr;

void writeToStandardError(const char *bytes, size_t count) {
  // Nothing sensible remains to do when this fails: the process aborts next.
  writeAll(2, bytes, count);
}

} // namespace

const std::error_category &errorCategory() {
  static const ErrorCategoryImpl category;
  return category;
}

std::error_code makeErrorCode(ErrorCategoryCode code) {
  return std::error_code(static_cast<int>(code), errorCategory());
}

std::error_code inconvertibleErrorCode() {
  return makeErrorCode(ErrorCategoryCode::InconvertibleError);
}

void ErrorGroup::log(OutputStream &os) const {
  os << errorGroupHeading;
  for (const std::unique_ptr<ErrorPayload> &payload : list) {
    payload->log(os);
    os << '\n';
  }
}

std::error_code ErrorGroup::asErrorCode() const {
  return makeErrorCode(ErrorCategoryCode::MultipleErrors);
}

void MessageError::log(OutputStream &os) const {
  if (textOnly) {
    os << text;
    return;
  }
  os << code.message();
  if (!text.empty())
    os << ' ' << text;
}

void SystemCodeError::log(OutputStream &os) const { os << code.message(); }

Error combineErrors(Error a, Error b) {
  if (!a)
    return b;
  if (!b)
    return a;
  if (a.isKindOf<ErrorGroup>()) {
    std::unique_ptr<ErrorPayload> aPayload = a.takePayload();
    auto &group = static_cast<ErrorGroup &>(*aPayload);
    if (b.isKindOf<ErrorGroup>()) {
      std::unique_ptr<ErrorPayload> bPayload = b.takePayload();
      for (std::unique_ptr<ErrorPayload> &p : static_cast<ErrorGroup &>(*bPayload).list)
        group.list.push_back(std::move(p));
    } else {
      group.list.push_back(b.takePayload());
    }
    return Error(std::move(aPayload));
  }
  if (b.isKindOf<ErrorGroup>()) {
    std::unique_ptr<ErrorPayload> bPayload = b.takePayload();
    auto &group = static_cast<ErrorGroup &>(*bPayload);
    group.list.insert(group.list.begin(), a.takePayload());
    return Error(std::move(bPayload));
  }
  auto group = std::make_unique<ErrorGroup>();
  group->list.push_back(a.takePayload());
  group->list.push_back(b.takePayload());
  return Error(std::move(group));
}

Error fromErrorCode(std::error_code code) {
  if (code.value() == 0)
    return Error();
  return newError<SystemCodeError>(code);
}

Error makeMessageError(std::error_code code, std::string_view text) {
  return newError<MessageError>(std::string(text), code, true);
}

namespace detail {

std::vector<std::unique_ptr<ErrorPayload>> takeAllPayloads(Error error) {
  std::vector<std::unique_ptr<ErrorPayload>> result;
  std::unique_ptr<ErrorPayload> payload = error.takePayload();
  if (!payload)
    return result;
  if (payload->isKindOf(ErrorGroup::classId()))
    return static_cast<ErrorGroup &>(*payload).takePayloads();
  result.push_back(std::move(payload));
  return result;
}

} // namespace detail

void reportUnhandledError() { reportUnreachable("an error payload was left unhandled"); }

void printAllErrors(Error error, OutputStream &os, std::string_view banner) {
  if (!error)
    return;
  os << banner;
  handleEveryError(std::move(error), [&](const ErrorPayload &payload) {
    payload.log(os);
    os << '\n';
  });
}

std::error_code toErrorCode(Error error) {
  std::error_code code;
  handleEveryError(std::move(error),
                   [&](const ErrorPayload &payload) { code = payload.asErrorCode(); });
  if (code == inconvertibleErrorCode())
    fatalError(code.message());
  return code;
}

void fatalError(std::string_view message) {
  SmallVector<char, 64> text;
  text.append(fatalBanner.begin(), fatalBanner.end());
  text.append(message.begin(), message.end());
  text.push_back('\n');
  writeToStandardError(text.data(), text.size());
  std::abort();
}

void fatalError(const char *message) { fatalError(std::string_view(message ? message : "")); }

void fatalError(const std::string &message) { fatalError(std::string_view(message)); }

void reportOutOfMemory(const char *reason) {
  writeToStandardError(outOfMemoryBanner.data(), outOfMemoryBanner.size());
  writeToStandardError(reason, std::strlen(reason));
  writeToStandardError("\n", 1);
  std::abort();
}

void reportUnreachable(const char *message, const char *file, unsigned line) {
  OutputStream &os = standardError();
  if (message)
    os << message << '\n';
  os << unreachableText;
  if (file)
    os << " at " << file << ':' << line;
  os << "!\n";
  if (stackTracePrinter)
    stackTracePrinter(os);
  os.flush();
  std::abort();
}

void setStackTracePrinter(StackTracePrinter printer) { stackTracePrinter = printer; }

void installOutOfMemoryHandler() {
  std::set_new_handler([] { reportOutOfMemory(); });
}

namespace {
ExitObserver exitObserver = nullptr;
} // namespace

void setExitObserver(ExitObserver observer) { exitObserver = observer; }

void exitProcess(int status) {
  if (ExitObserver observer = exitObserver) {
    exitObserver = nullptr;
    observer(status);
  }
  std::exit(status);
}

} // namespace vetline
