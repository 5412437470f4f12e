#include "text/wide_text.h"

namespace {

uint64_t Capacity(uint64_t length) { return (length + 1 + 31) / 32 * 32; }
SIZE_T BlockBytes(uint64_t length) { return static_cast<SIZE_T>(Capacity(length) * 2 + 8); }
WCHAR* CharsOf(uint64_t* block) { return reinterpret_cast<WCHAR*>(block + 1); }

void CopyChars(WCHAR* to, const WCHAR* from, uint64_t count) {
  for (uint64_t i = 0; i < count; i++) to[i] = from[i];
}

const WCHAR kEmpty[1] = {0};

}  // namespace

uint64_t TextLength(const WCHAR* text) {
  uint64_t n = 0;
  if (text != nullptr)
    while (text[n] != 0) n++;
  return n;
}

bool TextEquals(const WCHAR* a, const WCHAR* b) {
  if (a == nullptr) a = kEmpty;
  if (b == nullptr) b = kEmpty;
  for (;; a++, b++) {
    if (*a != *b) return false;
    if (*a == 0) return true;
  }
}

bool TextEqualsIgnoringAsciiCase(const WCHAR* a, const WCHAR* b) {
  auto fold = [](WCHAR c) -> WCHAR { return (c >= 'A' && c <= 'Z') ? WCHAR(c + ('a' - 'A')) : c; };
  if (a == nullptr) a = kEmpty;
  if (b == nullptr) b = kEmpty;
  for (;; a++, b++) {
    if (fold(*a) != fold(*b)) return false;
    if (*a == 0) return true;
  }
}

uint64_t Length(const WideText& text) { return text.block ? text.block[0] : 0; }

const WCHAR* Chars(const WideText& text) { return text.block ? CharsOf(text.block) : kEmpty; }

bool Resize(WideText& text, uint64_t n) {
  if (n == 0) {
    ReleaseText(text);
    return true;
  }
  SIZE_T newBytes = BlockBytes(n);
  SIZE_T oldBytes = text.block ? BlockBytes(text.block[0]) : 0;
  if (newBytes != oldBytes) {
    void* moved = text.block ? HeapReAlloc(GetProcessHeap(), 0, text.block, newBytes)
                             : HeapAlloc(GetProcessHeap(), 0, newBytes);
    if (moved == nullptr) return false;
    text.block = static_cast<uint64_t*>(moved);
  }
  CharsOf(text.block)[n] = 0;
  text.block[0] = n;
  return true;
}

void Assign(WideText& text, const WCHAR* value) {
  uint64_t n = TextLength(value);
  if (n == 0) {
    ReleaseText(text);
    return;
  }
  if (Resize(text, n)) CopyChars(CharsOf(text.block), value, n);
}

void Append(WideText& text, const WCHAR* value) {
  uint64_t k = TextLength(value);
  uint64_t m = Length(text);
  if (k == 0) return;
  if (Resize(text, m + k)) CopyChars(CharsOf(text.block) + m, value, k);
}

void Append(WideText& text, const WideText& other) {
  uint64_t k = Length(other);
  uint64_t m = Length(text);
  if (k == 0) return;
  // `other` may be `text` itself: read through the block after it has moved.
  if (!Resize(text, m + k)) return;
  const WCHAR* from = &other == &text ? CharsOf(text.block) : Chars(other);
  CopyChars(CharsOf(text.block) + m, from, k);
}

WideText FromAnsi(const char* text) {
  WideText result{nullptr};
  int count = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, nullptr, 0);
  if (count <= 1) return result;
  uint64_t length = static_cast<uint64_t>(count - 1);
  void* block = HeapAlloc(GetProcessHeap(), 0, BlockBytes(length));
  if (block == nullptr) return result;
  result.block = static_cast<uint64_t*>(block);
  result.block[0] = length;
  CharsOf(result.block)[length] = 0;
  if (MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, CharsOf(result.block), count) == 0)
    ReleaseText(result);
  return result;
}

WideText DirectoryPart(const WideText& text) {
  WideText result{nullptr};
  uint64_t n = Length(text);
  const WCHAR* chars = Chars(text);
  uint64_t separator = n;
  for (uint64_t i = 0; i < n; i++)
    if (chars[i] == '\\') separator = i;
  if (separator == n)
    for (uint64_t i = 0; i < n; i++)
      if (chars[i] == '/') separator = i;
  if (separator == n || separator == 0) return result;
  if (Resize(result, separator)) CopyChars(CharsOf(result.block), chars, separator);
  return result;
}

WideText CopyText(const WideText& other) {
  WideText copy{nullptr};
  if (other.block == nullptr) return copy;
  SIZE_T bytes = BlockBytes(other.block[0]);
  void* block = HeapAlloc(GetProcessHeap(), 0, bytes);
  if (block == nullptr) return copy;
  const BYTE* from = reinterpret_cast<const BYTE*>(other.block);
  BYTE* to = static_cast<BYTE*>(block);
  for (SIZE_T i = 0; i < bytes; i++) to[i] = from[i];
  copy.block = static_cast<uint64_t*>(block);
  return copy;
}

void AssignText(WideText& text, const WideText& other) {
  if (&text == &other) return;
  uint64_t n = Length(other);
  if (n == 0) {
    ReleaseText(text);
    return;
  }
  if (Resize(text, n)) CopyChars(CharsOf(text.block), Chars(other), n);
}

void ReleaseText(WideText& text) {
  if (text.block != nullptr) HeapFree(GetProcessHeap(), 0, text.block);
  text.block = nullptr;
}
