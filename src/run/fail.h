// A failure, reported where it is found, in one line of code:
//
//   fail("port-unavailable", TypedText{name});
//
// writes the message of the outcome with that key (its row of kOutcomes, in
// the row's manner) with these arguments, and ends the station's run: it
// throws that outcome and that same text, the run's record of how it ended,
// to the run's one ending in the driver. Nothing is returned up the call
// chain. The key and the message's conversions are checked against the
// table and the arguments when the call is compiled: an unknown key, a
// failure given the wrong arguments, or an outcome without a message does
// not build.
#pragma once

#include <string>
#include <type_traits>

#include "common/text_format.h"
#include "console/console.h"
#include "record/outcome.h"

namespace travek {

// How a station's run failed, on its way to the driver.
struct RunFailure {
  Outcome outcome;
  std::string message;  // as written on the console
};

template <class... Args>
struct CheckedOutcome {
  Outcome checked;
  consteval CheckedOutcome(const char* key) : checked(outcome(key)) {
    check_arguments<Args...>(outcome_row(checked).message);
  }
};

// Reached only through fail(), which checks the arguments, and through
// tables whose rows are checked when they are compiled.
[[noreturn]] void fail_unchecked(Outcome failure, ...);

template <class... Args>
[[noreturn]] void fail(std::type_identity_t<CheckedOutcome<Args...>> failure, Args... args) {
  fail_unchecked(failure.checked, console_arg(args)...);
}

}  // namespace travek
