// What the conformance checks share. They use no test framework, so the same checks build into
// the host tests against winsim and into a Windows program run under Wine; each check adds one
// line per failed expectation, and the caller reports the lines its own way.
#pragma once

#include <string>
#include <vector>

#include "platform.h"

namespace conformance {

struct Failures {
  std::vector<std::string> lines;
  std::vector<std::string> wineNotes;  // where Wine answered as expected of it, not as Windows does
};

inline bool Expect(Failures& failures, bool condition, const char* what) {
  if (!condition) failures.lines.push_back(what);
  return condition;
}

// A number the platform answered; the line names the answer when it is not the one expected.
inline void ExpectNumber(Failures& failures, unsigned long long actual, unsigned long long expected,
                         const char* what) {
  if (actual != expected)
    failures.lines.push_back(std::string(what) + ": got " + std::to_string(actual) + ", expected " +
                             std::to_string(expected));
}

// A call's BOOL result and the last error read right after it, as one answer.
struct Answer {
  bool ok;
  DWORD error;
};

inline Answer Answered(BOOL result) { return Answer{result != FALSE, result ? 0 : GetLastError()}; }

// A failed call with `error`; the line names what was seen otherwise.
inline void ExpectFailure(Failures& failures, const Answer& answer, DWORD error, const char* what) {
  if (answer.ok)
    failures.lines.push_back(std::string(what) + ": succeeded, expected error " + std::to_string(error));
  else
    ExpectNumber(failures, answer.error, error, what);
}

// UTF-16 text of the platform's WCHAR, for building expected values.
using Text = std::basic_string<WCHAR>;

inline Text TextOf(const WCHAR* chars) { return chars != nullptr ? Text(chars) : Text(); }

}  // namespace conformance
