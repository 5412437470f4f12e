// Seeing the installer's log window the way a person does: find it by its title, read its
// text box, take a picture of it, press its Close button; and hold Shift down meanwhile.
#pragma once

#include <string>
#include <vector>

#include "e2e_tool.h"

namespace e2e {

const wchar_t kDialogClass[] = L"#32770";
const wchar_t* const kLogTitles[] = {L"Orvandelle build 2547- Install error log!",
                                     L"Orvandelle build 2547- Install log."};
const int kLogTextId = 1001;
const int kCloseButtonId = 1;

struct LogWindow {
  HWND window;
  std::wstring title;
};

// The log window once it is visible, or none.
inline LogWindow FindLogWindow() {
  for (const wchar_t* title : kLogTitles) {
    HWND window = FindWindowW(kDialogClass, title);
    if (window != nullptr && IsWindowVisible(window)) return {window, title};
  }
  return {nullptr, L""};
}

// Sent as messages: for a window of another process GetWindowText would give its caption
// only, never the text of an edit box.
inline std::wstring ReadLogText(HWND window) {
  HWND box = GetDlgItem(window, kLogTextId);
  if (box == nullptr) return L"(no control 1001)";
  LRESULT length = SendMessageW(box, WM_GETTEXTLENGTH, 0, 0);
  std::vector<wchar_t> text(length + 2, 0);
  GetDlgItemTextW(window, kLogTextId, text.data(), static_cast<int>(length + 1));
  return text.data();
}

// Sent, not posted: the click is handled before this returns.
inline void PressClose(HWND window) {
  HWND button = GetDlgItem(window, kCloseButtonId);
  if (button != nullptr) SendMessageW(button, BM_CLICK, 0, 0);
}

// The window's area of the screen as a 24-bit bottom-up BMP file. Under Wine this needs a
// real display (Xvfb); the null graphics driver gives no pixels.
inline bool SaveScreenshot(HWND window, const std::wstring& path) {
  RECT area;
  if (!GetWindowRect(window, &area)) return false;
  int width = area.right - area.left, height = area.bottom - area.top;
  if (width <= 0 || height <= 0) return false;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* pixels = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
  bool ok = false;
  if (bitmap != nullptr) {
    HGDIOBJ previous = SelectObject(memory, bitmap);
    ok = BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY) != FALSE;
    GdiFlush();
    SelectObject(memory, previous);
    DWORD rowBytes = ((width * 3 + 3) / 4) * 4, imageBytes = rowBytes * height;
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + imageBytes;
    HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ok = ok && out != INVALID_HANDLE_VALUE && WriteFile(out, &file, sizeof file, &written, nullptr) &&
         WriteFile(out, &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr) &&
         WriteFile(out, pixels, imageBytes, &written, nullptr);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    DeleteObject(bitmap);
  }
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return ok;
}

// Wine keeps the key state of the desktop while a process of the session lives, so the one
// that pressed Shift must stay alive until the installer has looked at it.
inline void SendShift(bool down) {
  INPUT input = {};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = VK_LSHIFT;
  input.ki.wScan = 0x2a;
  input.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
  SendInput(1, &input, sizeof input);
}

// What was seen of the window, for the harness: its title, then its text between markers,
// one output line per log line (the text-mode output adds the CR of each line end again).
inline void ReportLogWindow(const LogWindow& found, const std::wstring& text) {
  Out("window\t" + Narrow(found.title));
  Out("text-begin");
  std::wstring lines;
  for (size_t i = 0; i < text.size(); i++)
    if (!(text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n')) lines += text[i];
  std::fputs(Narrow(lines).c_str(), stdout);
  Out("");
  Out("text-end");
}

// Reads, pictures and closes the window; the pause lets the owner paint it first.
inline void HandleLogWindow(const LogWindow& found, const std::wstring& screenshot, bool close) {
  Sleep(screenshot.empty() ? 50 : 1500);
  ReportLogWindow(found, ReadLogText(found.window));
  if (!screenshot.empty()) Out(std::string("screenshot\t") + (SaveScreenshot(found.window, screenshot) ? "saved" : "failed"));
  if (close) PressClose(found.window);
}

}  // namespace e2e
