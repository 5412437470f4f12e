// Counted, heap-held UTF-16 text: the log and every path built from pieces.
#pragma once

#include <cstdint>

#include "platform.h"

// One pointer to a heap block [64-bit length][characters][0], null when the text is empty.
// Room is kept in steps of 32 characters, terminator included.
struct WideText {
  uint64_t* block;
};

uint64_t Length(const WideText& text);
const WCHAR* Chars(const WideText& text);  // never null
// Sets the length to n, keeping the leading characters; n = 0 releases the block. False when
// the heap refused the block (the text is then unchanged).
bool Resize(WideText& text, uint64_t n);
void Assign(WideText& text, const WCHAR* value);
void Append(WideText& text, const WCHAR* value);
void Append(WideText& text, const WideText& other);
WideText FromAnsi(const char* text);
WideText DirectoryPart(const WideText& text);
WideText CopyText(const WideText& other);
void AssignText(WideText& text, const WideText& other);
void ReleaseText(WideText& text);

// Small helpers on terminated UTF-16 strings, shared across the installer.
uint64_t TextLength(const WCHAR* text);   // null counts as empty
bool TextEquals(const WCHAR* a, const WCHAR* b);  // exact, whole string; null equals ""
// Compares ignoring the case of the ASCII letters A to Z only.
bool TextEqualsIgnoringAsciiCase(const WCHAR* a, const WCHAR* b);
