#include "support/error.h"

#include "support/output_stream.h"
#include "tests/unit/support/exact_text.h"
#include "tests/unit/support/sanitizer_build.h"

#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <new>

namespace vetline {
namespace {

using testing::exactly;

// A payload with a fixed message and the inconvertible code, like the
// engine's own kinds.
class NamedError : public PayloadKind<NamedError> {
public:
  explicit NamedError(std::string name) : name(std::move(name)) {}
  void log(OutputStream &os) const override { os << name; }
  std::error_code asErrorCode() const override { return inconvertibleErrorCode(); }
  std::string name;
};

// A kind derived from another kind.
class LocatedNamedError : public PayloadKind<LocatedNamedError, NamedError> {
public:
  LocatedNamedError(std::string name, int line) : PayloadKind(std::move(name)), line(line) {}
  int line;
};

Error named(const char *name) { return newError<NamedError>(name); }

std::string logged(const Error &error) {
  std::string text;
  StringOutputStream os(text);
  error.payload()->log(os);
  return text;
}

// Joins every payload's message with '|'.
std::string messages(Error error) {
  std::string text;
  handleEveryError(std::move(error), [&](const ErrorPayload &payload) {
    if (!text.empty())
      text += '|';
    text += payload.message();
  });
  return text;
}

TEST(Error, SuccessAndFailureAsBooleans) {
  EXPECT_FALSE(success());
  Error failure = named("a");
  EXPECT_TRUE(failure);
  Error moved = std::move(failure);
  EXPECT_TRUE(moved);
  EXPECT_FALSE(failure); // NOLINT: moving leaves success behind
}

TEST(Error, KindsFollowTheClassHierarchy) {
  Error base = named("a");
  Error derived = newError<LocatedNamedError>("b", 3);
  EXPECT_TRUE(base.isKindOf<NamedError>());
  EXPECT_FALSE(base.isKindOf<LocatedNamedError>());
  EXPECT_TRUE(derived.isKindOf<NamedError>());
  EXPECT_TRUE(derived.isKindOf<LocatedNamedError>());
  EXPECT_TRUE(derived.isKindOf<ErrorPayload>());
  EXPECT_FALSE(derived.isKindOf<MessageError>());
  EXPECT_EQ(derived.payload()->kindId(), LocatedNamedError::classId());
  EXPECT_FALSE(success().isKindOf<ErrorPayload>());
}

TEST(Error, CombineKeepsSinglePayloadsAndOrder) {
  EXPECT_FALSE(combineErrors(success(), success()));

  Error single = named("a");
  const ErrorPayload *payload = single.payload();
  Error joined = combineErrors(std::move(single), success());
  EXPECT_EQ(joined.payload(), payload) << "a single payload must not become a list";
  joined = combineErrors(success(), std::move(joined));
  EXPECT_EQ(joined.payload(), payload);

  Error list = combineErrors(named("a"), named("b"));
  ASSERT_TRUE(list.isKindOf<ErrorGroup>());
  EXPECT_EQ(messages(combineErrors(std::move(list), combineErrors(named("c"), named("d")))),
            "a|b|c|d");
  EXPECT_EQ(messages(combineErrors(named("a"), combineErrors(named("b"), named("c")))), "a|b|c");
  EXPECT_EQ(messages(combineErrors(combineErrors(named("a"), named("b")), named("c"))), "a|b|c");
}

TEST(Error, CombinedListsNeverNest) {
  Error all = combineErrors(combineErrors(named("a"), named("b")),
                            combineErrors(named("c"), combineErrors(named("d"), named("e"))));
  ASSERT_TRUE(all.isKindOf<ErrorGroup>());
  const auto &group = static_cast<const ErrorGroup &>(*all.payload());
  ASSERT_EQ(group.payloads().size(), 5u);
  for (const auto &payload : group.payloads())
    EXPECT_FALSE(payload->isKindOf(ErrorGroup::classId()));
}

TEST(Error, DispatchGivesEachPayloadToTheFirstMatchingHandler) {
  std::string seen;
  Error rest = dispatchErrors(
      combineErrors(combineErrors(named("a"), newError<LocatedNamedError>("b", 7)),
                    makeMessageError(std::error_code(), "m")),
      [&](const LocatedNamedError &e) {
        seen += "located:" + e.name + std::to_string(e.line) + ";";
      },
      [&](NamedError &e) { seen += "named:" + e.name + ";"; });
  EXPECT_EQ(seen, "named:a;located:b7;");
  ASSERT_TRUE(rest);
  EXPECT_TRUE(rest.isKindOf<MessageError>()) << "an unhandled payload comes back unchanged";
  EXPECT_EQ(messages(std::move(rest)), "m");
}

TEST(Error, DispatchJoinsWhatHandlersReturn) {
  Error rest =
      dispatchErrors(combineErrors(named("a"), combineErrors(named("keep"), named("b"))),
                     [](std::unique_ptr<NamedError> e) -> Error {
                       if (e->name == "keep")
                         return Error(std::move(e));
                       return newError<MessageError>("from " + e->name, std::error_code(), true);
                     });
  EXPECT_EQ(messages(std::move(rest)), "from a|keep|from b");
  EXPECT_FALSE(dispatchErrors(success(), [](NamedError &) { ADD_FAILURE(); }));
}

TEST(Error, PrintAllErrorsAndGroupLog) {
  std::string printed;
  StringOutputStream os(printed);
  printAllErrors(success(), os, "banner\n");
  EXPECT_EQ(printed, "");
  printAllErrors(combineErrors(named("a"), named("b")), os, "banner\n");
  EXPECT_EQ(printed, "banner\na\nb\n");

  EXPECT_EQ(logged(combineErrors(named("a"), named("b"))), "Multiple errors:\na\nb\n");
}

TEST(Error, MessageErrorTexts) {
  std::error_code noEntry = std::make_error_code(std::errc::no_such_file_or_directory);
  std::string codeText = noEntry.message();
  EXPECT_EQ(logged(newError<MessageError>("", noEntry)), codeText);
  EXPECT_EQ(logged(newError<MessageError>("extra", noEntry)), codeText + " extra");
  EXPECT_EQ(logged(makeMessageError(noEntry, "only this")), "only this");
  EXPECT_EQ(logged(fromErrorCode(noEntry)), codeText);
  EXPECT_FALSE(fromErrorCode(std::error_code(0, errorCategory())));
}

TEST(Error, Category) {
  const std::error_category &category = errorCategory();
  EXPECT_STREQ(category.name(), "Error");
  EXPECT_EQ(&category, &errorCategory());
  EXPECT_EQ(category.message(1), "Multiple errors");
  EXPECT_EQ(category.message(2), "A file error occurred.");
  EXPECT_EQ(category.message(3),
            "Inconvertible error value. An error has occurred that could not be converted to a "
            "known std::error_code. Please file a bug.");
}

TEST(Error, ToErrorCodeTakesTheLastPayload) {
  EXPECT_EQ(toErrorCode(success()), std::error_code());
  std::error_code denied = std::make_error_code(std::errc::permission_denied);
  std::error_code noEntry = std::make_error_code(std::errc::no_such_file_or_directory);
  EXPECT_EQ(toErrorCode(fromErrorCode(denied)), denied);
  EXPECT_EQ(toErrorCode(combineErrors(fromErrorCode(denied), fromErrorCode(noEntry))), noEntry);
  EXPECT_EQ(toErrorCode(combineErrors(named("x"), fromErrorCode(noEntry))), noEntry);
}

TEST(ErrorDeathTest, ToErrorCodeOfAnInconvertiblePayloadIsFatal) {
  EXPECT_EXIT((void)toErrorCode(named("x")), ::testing::KilledBySignal(SIGABRT),
              exactly("ORVANE ERROR: Inconvertible error value. An error has occurred that could "
                      "not be converted to a known std::error_code. Please file a bug.\n"));
}

TEST(ErrorDeathTest, FatalRoutinesWriteExactTexts) {
  EXPECT_EXIT(fatalError("short"), ::testing::KilledBySignal(SIGABRT),
              exactly("ORVANE ERROR: short\n"));
  // Longer than the inline room of the message buffer.
  std::string longMessage(300, 'x');
  EXPECT_EXIT(fatalError(longMessage), ::testing::KilledBySignal(SIGABRT),
              exactly("ORVANE ERROR: " + longMessage + "\n"));
  EXPECT_EXIT(reportOutOfMemory("Allocation failed"), ::testing::KilledBySignal(SIGABRT),
              exactly("ORVANE ERROR: out of memory\nAllocation failed\n"));
}

TEST(ErrorDeathTest, ReportUnreachable) {
  EXPECT_EXIT(reportUnreachable(), ::testing::KilledBySignal(SIGABRT),
              exactly("UNREACHABLE executed!\n"));
  EXPECT_EXIT(reportUnreachable("unexpected match type"), ::testing::KilledBySignal(SIGABRT),
              exactly("unexpected match type\nUNREACHABLE executed!\n"));
  EXPECT_EXIT(reportUnreachable("m", "file.cpp", 42), ::testing::KilledBySignal(SIGABRT),
              exactly("m\nUNREACHABLE executed at file.cpp:42!\n"));
  EXPECT_EXIT(
      {
        setStackTracePrinter([](OutputStream &os) { os << "#0 trace\n"; });
        reportUnreachable(nullptr, "f.cpp", 7);
      },
      ::testing::KilledBySignal(SIGABRT), exactly("UNREACHABLE executed at f.cpp:7!\n#0 trace\n"));
}

TEST(ErrorDeathTest, UnhandledPayloadInHandleEveryErrorIsFatal) {
  EXPECT_EXIT(handleEveryError(makeMessageError(std::error_code(), "m"), [](NamedError &) {}),
              ::testing::KilledBySignal(SIGABRT),
              exactly("an error payload was left unhandled\nUNREACHABLE executed!\n"));
}

TEST(ErrorDeathTest, FailingGlobalAllocation) {
  if (testing::isSanitizerBuild)
    GTEST_SKIP() << "the address sanitizer reports huge allocations itself";
  EXPECT_EXIT(
      {
        installOutOfMemoryHandler();
        volatile size_t huge = SIZE_MAX / 2;
        // A direct call: a new-expression whose result is unused may be elided.
        void *block = ::operator new(huge);
        std::printf("%p\n", block);
      },
      ::testing::KilledBySignal(SIGABRT),
      exactly("ORVANE ERROR: out of memory\nAllocation failed\n"));
}

Fallible<int> parsePositive(int value) {
  if (value > 0)
    return value;
  return newError<NamedError>("not positive");
}

TEST(Fallible, HoldsAValueOrAnError) {
  Fallible<int> good = parsePositive(4);
  ASSERT_TRUE(good);
  EXPECT_EQ(*good, 4);
  EXPECT_FALSE(good.extractError());

  Fallible<int> bad = parsePositive(-1);
  ASSERT_FALSE(bad);
  EXPECT_NE(bad.errorPayload(), nullptr);
  Error error = bad.extractError();
  EXPECT_TRUE(error.isKindOf<NamedError>());
  EXPECT_EQ(error.payload()->message(), "not positive");

  Fallible<std::unique_ptr<std::string>> owned = std::make_unique<std::string>("text");
  Fallible<std::unique_ptr<std::string>> movedTo = std::move(owned);
  ASSERT_TRUE(movedTo);
  EXPECT_EQ(**movedTo, "text");
  movedTo = Fallible<std::unique_ptr<std::string>>(named("gone"));
  EXPECT_FALSE(movedTo);
  EXPECT_EQ(movedTo.extractError().payload()->message(), "gone");
}

} // namespace
} // namespace vetline
