// Error values: the program uses no exceptions, so an operation that can
// fail returns an `Error` (one pointer: null is success) or a `Fallible<T>`
// (a value or an `Error`). Errors carry typed payloads, so a caller can treat
// one kind of failure differently from another, and join into ordered lists
// (`ErrorGroup`) that never nest.
//
// Also here: the "Error" error-code category, and the fatal routines
// (`fatalError`, `reportOutOfMemory`, `reportUnreachable`), which never
// return. `fatalError` and `reportOutOfMemory` write straight to descriptor 2
// with one system call per piece and never through an output stream, because
// the streams themselves call them.
//
// Surprising: dropping an `Error` that holds a payload frees it silently;
// nothing checks at run time that errors are looked at. Handle, return or
// explicitly `discardError` every one.
#pragma once

#include <cassert>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

namespace vetline {

class OutputStream;

// The abstract base of every payload. Each concrete kind derives through
// `PayloadKind<Kind, Parent>`, which supplies the class identity.
class ErrorPayload {
public:
  virtual ~ErrorPayload();

  // Writes the payload's message.
  virtual void log(OutputStream &os) const = 0;
  // The text `log` writes.
  virtual std::string message() const;
  virtual std::error_code asErrorCode() const = 0;
  // The identity of the concrete class.
  virtual const void *kindId() const = 0;
  // True for the identity of this payload's class or of any of its bases,
  // up to and including ErrorPayload.
  virtual bool isKindOf(const void *kind) const { return kind == classId(); }

  static const void *classId() { return &id; }

private:
  static char id;
};

// Base for a payload kind `Derived` whose parent kind is `Parent`:
//   class MyError : public PayloadKind<MyError> { ... };
template <typename Derived, typename Parent = ErrorPayload> class PayloadKind : public Parent {
public:
  using Parent::Parent;

  static const void *classId() { return &id; }
  const void *kindId() const override { return classId(); }
  bool isKindOf(const void *kind) const override {
    return kind == classId() || Parent::isKindOf(kind);
  }

private:
  static inline char id = 0;
};

// A move-only owner of one payload, or of nothing (success). As a boolean it
// is true when it holds a payload, that is on failure.
class [[nodiscard]] Error {
public:
  Error() = default;
  explicit Error(std::unique_ptr<ErrorPayload> payload) : payloadPtr(std::move(payload)) {}
  Error(Error &&other) noexcept = default;
  Error &operator=(Error &&other) noexcept = default;
  Error(const Error &) = delete;
  Error &operator=(const Error &) = delete;

  static Error success() { return Error(); }

  explicit operator bool() const { return payloadPtr != nullptr; }

  // True when the payload is of kind T or of a kind derived from it.
  template <typename T> bool isKindOf() const {
    return payloadPtr && payloadPtr->isKindOf(T::classId());
  }

  // The payload, or null on success; owned by this Error.
  const ErrorPayload *payload() const { return payloadPtr.get(); }

  // Moves the payload out, leaving success behind.
  std::unique_ptr<ErrorPayload> takePayload() { return std::move(payloadPtr); }

private:
  std::unique_ptr<ErrorPayload> payloadPtr;
};

inline Error success() { return Error(); }

template <typename T, typename... Args> Error newError(Args &&...args) {
  return Error(std::make_unique<T>(std::forward<Args>(args)...));
}

// A value of type T, or the Error that prevented it. As a boolean it is true
// when it holds a value.
template <typename T> class [[nodiscard]] Fallible {
  static_assert(!std::is_reference_v<T>, "Fallible holds values only");

public:
  template <typename U, typename = std::enable_if_t<std::is_convertible_v<U &&, T> &&
                                                    !std::is_same_v<std::decay_t<U>, Error> &&
                                                    !std::is_same_v<std::decay_t<U>, Fallible>>>
  Fallible(U &&value) : hasValue(true) {
    ::new (static_cast<void *>(&storage.value)) T(std::forward<U>(value));
  }

  // `error` must be a failure.
  Fallible(Error error) : hasValue(false) {
    assert(error && "a Fallible cannot be made from success");
    ::new (static_cast<void *>(&storage.error)) Error(std::move(error));
  }

  Fallible(Fallible &&other) : hasValue(other.hasValue) {
    if (hasValue)
      ::new (static_cast<void *>(&storage.value)) T(std::move(other.storage.value));
    else
      ::new (static_cast<void *>(&storage.error)) Error(std::move(other.storage.error));
  }

  Fallible &operator=(Fallible &&other) {
    if (this != &other) {
      destroy();
      hasValue = other.hasValue;
      if (hasValue)
        ::new (static_cast<void *>(&storage.value)) T(std::move(other.storage.value));
      else
        ::new (static_cast<void *>(&storage.error)) Error(std::move(other.storage.error));
    }
    return *this;
  }

  Fallible(const Fallible &) = delete;
  Fallible &operator=(const Fallible &) = delete;

  ~Fallible() { destroy(); }

  explicit operator bool() const { return hasValue; }

  T &get() {
    assert(hasValue && "reading the value of a failed Fallible");
    return storage.value;
  }
  const T &get() const {
    assert(hasValue && "reading the value of a failed Fallible");
    return storage.value;
  }
  T &operator*() { return get(); }
  const T &operator*() const { return get(); }
  T *operator->() { return &get(); }
  const T *operator->() const { return &get(); }

  // Moves the error out (success when this holds a value).
  Error extractError() {
    if (hasValue)
      return Error();
    return std::move(storage.error);
  }

  // The error's payload without taking it, or null when this holds a value.
  const ErrorPayload *errorPayload() const { return hasValue ? nullptr : storage.error.payload(); }

private:
  void destroy() {
    if (hasValue)
      storage.value.~T();
    else
      storage.error.~Error();
  }

  union Storage {
    Storage() {}
    ~Storage() {}
    T value;
    Error error;
  } storage;
  bool hasValue;
};

// The codes of the "Error" category.
enum class ErrorCategoryCode {
  MultipleErrors = 1,
  FileError = 2,
  InconvertibleError = 3,
};

// The process-wide "Error" category, made on first use.
const std::error_category &errorCategory();

std::error_code makeErrorCode(ErrorCategoryCode code);

// Code 3 of the "Error" category, for payload kinds with no natural code.
std::error_code inconvertibleErrorCode();

// An ordered list of two or more payloads, none of them a list.
class ErrorGroup final : public PayloadKind<ErrorGroup> {
public:
  void log(OutputStream &os) const override;
  std::error_code asErrorCode() const override;

  const std::vector<std::unique_ptr<ErrorPayload>> &payloads() const { return list; }

  // Moves the payloads out, leaving the list empty.
  std::vector<std::unique_ptr<ErrorPayload>> takePayloads() { return std::move(list); }

private:
  friend Error combineErrors(Error a, Error b);

  std::vector<std::unique_ptr<ErrorPayload>> list;
};

// A message with an error code. With `textOnly` the message alone is
// logged; otherwise the code's message, then a space and the message when
// the message is not empty.
class MessageError final : public PayloadKind<MessageError> {
public:
  MessageError(std::string message, std::error_code code, bool textOnly = false)
      : text(std::move(message)), code(code), textOnly(textOnly) {}

  void log(OutputStream &os) const override;
  std::error_code asErrorCode() const override { return code; }

  const std::string &messageText() const { return text; }

private:
  std::string text;
  std::error_code code;
  bool textOnly;
};

// An error code alone; logs the code's message.
class SystemCodeError final : public PayloadKind<SystemCodeError> {
public:
  explicit SystemCodeError(std::error_code code) : code(code) {}

  void log(OutputStream &os) const override;
  std::error_code asErrorCode() const override { return code; }

private:
  std::error_code code;
};

// Joins two errors into one; lists are flattened and the payloads keep the
// order of the joined errors. Success joined with x is x unchanged.
Error combineErrors(Error a, Error b);

// Success for a code of value 0, else an Error with a SystemCodeError.
Error fromErrorCode(std::error_code code);

// An Error with a text-only MessageError.
Error makeMessageError(std::error_code code, std::string_view text);

namespace detail {

template <typename F>
struct HandlerTraits : HandlerTraits<decltype(&std::decay_t<F>::operator())> {};

template <typename R, typename A> struct HandlerTraits<R (*)(A)> {
  using Result = R;
  using Argument = A;
};
template <typename C, typename R, typename A> struct HandlerTraits<R (C::*)(A)> {
  using Result = R;
  using Argument = A;
};
template <typename C, typename R, typename A> struct HandlerTraits<R (C::*)(A) const> {
  using Result = R;
  using Argument = A;
};

template <typename A> struct HandlerPayload {
  using Type = std::remove_cv_t<std::remove_reference_t<A>>;
  static constexpr bool ownsPayload = false;
};
template <typename T> struct HandlerPayload<std::unique_ptr<T>> {
  using Type = T;
  static constexpr bool ownsPayload = true;
};

template <typename H>
using HandledKind = typename HandlerPayload<typename HandlerTraits<H>::Argument>::Type;

template <typename H> Error applyHandler(H &handler, std::unique_ptr<ErrorPayload> payload) {
  using Traits = HandlerTraits<H>;
  using Kind = HandledKind<H>;
  using Result = typename Traits::Result;
  static_assert(std::is_void_v<Result> || std::is_same_v<Result, Error>,
                "an error handler returns nothing or an Error");
  if constexpr (HandlerPayload<typename Traits::Argument>::ownsPayload) {
    std::unique_ptr<Kind> owned(static_cast<Kind *>(payload.release()));
    if constexpr (std::is_void_v<Result>) {
      handler(std::move(owned));
      return Error();
    } else {
      return handler(std::move(owned));
    }
  } else {
    if constexpr (std::is_void_v<Result>) {
      handler(static_cast<Kind &>(*payload));
      return Error();
    } else {
      return handler(static_cast<Kind &>(*payload));
    }
  }
}

inline Error dispatchOne(std::unique_ptr<ErrorPayload> payload) {
  return Error(std::move(payload));
}

template <typename H, typename... Hs>
Error dispatchOne(std::unique_ptr<ErrorPayload> payload, H &handler, Hs &...rest) {
  if (payload->isKindOf(HandledKind<H>::classId()))
    return applyHandler(handler, std::move(payload));
  return dispatchOne(std::move(payload), rest...);
}

// Takes the payloads out of a list (or the single payload) in order.
std::vector<std::unique_ptr<ErrorPayload>> takeAllPayloads(Error error);

} // namespace detail

// Gives each payload of `error` (each element of a list, in order) to the
// first handler whose kind it is. A handler takes `Kind &`, `const Kind &`
// or `std::unique_ptr<Kind>` and returns nothing (the payload is consumed)
// or an Error (which may hand the payload back). Payloads no handler
// accepts are returned unchanged; all results are joined in order.
template <typename... Handlers> Error dispatchErrors(Error error, Handlers &&...handlers) {
  if (!error)
    return Error();
  Error result;
  for (std::unique_ptr<ErrorPayload> &payload : detail::takeAllPayloads(std::move(error)))
    result = combineErrors(std::move(result), detail::dispatchOne(std::move(payload), handlers...));
  return result;
}

[[noreturn]] void reportUnhandledError();

// Like dispatchErrors with handlers that together accept every payload; a
// payload left over is a programming error and ends the process.
template <typename... Handlers> void handleEveryError(Error error, Handlers &&...handlers) {
  Error rest = dispatchErrors(std::move(error), std::forward<Handlers>(handlers)...);
  if (rest)
    reportUnhandledError();
}

// Drops every payload on purpose.
inline void discardError(Error error) { (void)error.takePayload(); }

// Writes nothing for success; otherwise `banner`, then each payload's
// message followed by a newline (no "Multiple errors:" line for a list).
void printAllErrors(Error error, OutputStream &os, std::string_view banner = {});

// The code of the last payload (a code of value 0 for success). Ends the
// process when that is the inconvertible code.
std::error_code toErrorCode(Error error);

// Writes "ORVANE ERROR: ", the message and a newline to descriptor 2, then
// aborts without running exit handlers (buffered standard output is lost).
// Ends the process with `status`, like std::exit, after the exit observer
// (if one is set) has seen the status: a run that stops deep inside (a
// check-file error that ends the process at once) still finishes what it
// promised, such as its report.
[[noreturn]] void exitProcess(int status);
using ExitObserver = void (*)(int status);
// Null removes the observer.
void setExitObserver(ExitObserver observer);

[[noreturn]] void fatalError(std::string_view message);
[[noreturn]] void fatalError(const char *message);
[[noreturn]] void fatalError(const std::string &message);

// The reason every failed allocation gives: "Allocation failed".
extern const char allocationFailed[];

// Writes "ORVANE ERROR: out of memory", the reason and newlines to
// descriptor 2 without allocating, then aborts.
[[noreturn]] void reportOutOfMemory(const char *reason = allocationFailed);

// Prints the message (if any), "UNREACHABLE executed", " at FILE:LINE" when
// a file is given, "!" and a stack trace to standard error, then aborts.
[[noreturn]] void reportUnreachable(const char *message = nullptr, const char *file = nullptr,
                                    unsigned line = 0);

// Crash reporting installs the stack-trace printer used by
// reportUnreachable; until then no trace is printed.
using StackTracePrinter = void (*)(OutputStream &os);
void setStackTracePrinter(StackTracePrinter printer);

// Makes a failing global operator new call reportOutOfMemory(), the
// start-up step of the entry point.
void installOutOfMemoryHandler();

} // namespace vetline

#define VETLINE_UNREACHABLE(message) ::vetline::reportUnreachable(message, __FILE__, __LINE__)
