// The scenario table: plain text files, one scenario after another, read line by line.
//
//   scenario NAME                      at the left margin
//     about ONE LINE                   what the scenario shows
//     only host: REASON                (or "only wine:") a scenario one machine cannot play
//     ACTION ...                       two spaces in: the machine as it starts, or a step
//       CHECK ...                      deeper: what must hold after the action above it
//         | TEXT                       deeper still: one line of a whole expected log
//
// Words are separated by spaces; "..." keeps spaces; '#' outside quotes starts a comment.
#pragma once

#include <string>
#include <vector>

namespace scenarios {

using Words = std::vector<std::string>;

struct Check {
  int line;
  Words words;
  std::vector<std::string> block;  // the "| TEXT" lines under it, TEXT right-trimmed
};

struct Action {
  int line;
  Words words;
  std::vector<Check> checks;
};

struct Scenario {
  std::string name;
  std::string file;
  int line = 0;
  std::string about;
  std::string only;  // "", "host" or "wine"
  std::vector<Action> actions;
  std::string error;  // "FILE:LINE: what is wrong" for a malformed scenario
};

// Every scenario of every ".txt" file in `directory`, in file and line order. A malformed line
// outside any scenario gives a scenario named after its file holding only the error.
std::vector<Scenario> ReadTable(const std::string& directory);

}  // namespace scenarios
