#include "scenarios/scenario_table.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace scenarios {
namespace {

// Splits a line into words; false with `error` set for an unclosed quote.
bool Split(const std::string& text, Words& words, std::string& error) {
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      i++;
    } else if (text[i] == '#') {
      break;
    } else if (text[i] == '"') {
      size_t end = text.find('"', i + 1);
      if (end == std::string::npos) {
        error = "unclosed quote";
        return false;
      }
      words.push_back(text.substr(i + 1, end - i - 1));
      i = end + 1;
    } else {
      size_t end = text.find(' ', i);
      if (end == std::string::npos) end = text.size();
      words.push_back(text.substr(i, end - i));
      i = end;
    }
  }
  return true;
}

std::string RightTrimmed(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.pop_back();
  return text;
}

struct Reader {
  std::string file;
  std::vector<Scenario> scenarios;
  int number = 0;

  void Fail(const std::string& what) {
    std::string where = file + ":" + std::to_string(number) + ": " + what;
    if (scenarios.empty()) {
      scenarios.push_back(Scenario());
      scenarios.back().name = std::filesystem::path(file).stem().string() + "_table";
      scenarios.back().file = file;
    }
    if (scenarios.back().error.empty()) scenarios.back().error = where;
  }

  void Header(Scenario& s, const Words& words, const std::string& rest) {
    if (words[0] == "about") {
      s.about = rest.substr(std::min(rest.size(), rest.find("about") + 6));
    } else if (words[0] == "only" && words.size() >= 3 && (words[1] == "host:" || words[1] == "wine:")) {
      s.only = words[1].substr(0, 4);
    } else {
      Fail("\"only\" wants \"host:\" or \"wine:\" and a reason");
    }
  }

  void Body(int indent, const std::string& text) {
    Scenario& s = scenarios.back();
    std::string trimmed = text.substr(indent);
    if (trimmed[0] == '|') {
      if (s.actions.empty() || s.actions.back().checks.empty()) return Fail("a log line outside a check");
      s.actions.back().checks.back().block.push_back(RightTrimmed(trimmed.substr(std::min<size_t>(2, trimmed.size()))));
      return;
    }
    Words words;
    std::string error;
    if (!Split(trimmed, words, error)) return Fail(error);
    if (words.empty()) return;
    if (indent == 2 && (words[0] == "about" || words[0] == "only")) return Header(s, words, trimmed);
    if (indent == 2) {
      s.actions.push_back(Action{number, words, {}});
    } else if (indent > 2 && !s.actions.empty()) {
      s.actions.back().checks.push_back(Check{number, words, {}});
    } else {
      Fail("a check before any action");
    }
  }

  void Line(const std::string& raw) {
    std::string text = RightTrimmed(raw);
    size_t indent = text.find_first_not_of(' ');
    if (indent == std::string::npos || text[indent] == '#') return;
    if (indent == 0) {
      Words words;
      std::string error;
      if (!Split(text, words, error) || words.size() != 2 || words[0] != "scenario")
        return Fail("expected \"scenario NAME\" at the margin");
      scenarios.push_back(Scenario());
      scenarios.back().name = words[1];
      scenarios.back().file = file;
      scenarios.back().line = number;
      return;
    }
    if (scenarios.empty()) return Fail("a line before the first scenario");
    Body(static_cast<int>(indent), text);
  }
};

}  // namespace

std::vector<Scenario> ReadTable(const std::string& directory) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    if (entry.path().extension() == ".txt") files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  std::vector<Scenario> all;
  for (const std::string& file : files) {
    Reader reader;
    reader.file = file;
    std::ifstream in(file);
    for (std::string raw; std::getline(in, raw);) {
      reader.number++;
      reader.Line(raw);
    }
    all.insert(all.end(), reader.scenarios.begin(), reader.scenarios.end());
  }
  return all;
}

}  // namespace scenarios
