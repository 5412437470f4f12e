// Case-insensitive names for the file system and the registry: Windows compares them through
// its upper-case table; this covers the Latin-1, Greek and Cyrillic letters besides ASCII.
#pragma once

#include <string>

namespace winsim {

inline char16_t FoldCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return char16_t(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return char16_t(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return char16_t(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return char16_t(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return char16_t(c - 0x50);
  return c;
}

inline std::u16string FoldCase(const std::u16string& text) {
  std::u16string folded = text;
  for (char16_t& c : folded) c = FoldCase(c);
  return folded;
}

}  // namespace winsim
