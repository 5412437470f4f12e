// Stand-in tray program: while it runs it owns the named mutex and a top-level window of the
// tray class; message 1026 to that window ends it, which gives the mutex up.
#include <windows.h>

static const char kMutexName[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
static const WCHAR kWindowClass[] = L"qxs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
static const UINT kQuitMessage = WM_USER + 2;

static LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kQuitMessage) {
    DestroyWindow(window);
    return 0;
  }
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  HANDLE mutex = CreateMutexA(NULL, TRUE, kMutexName);
  if (mutex == NULL) return 2;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    // Another copy runs already; this one leaves.
    CloseHandle(mutex);
    return 3;
  }
  WNDCLASSW windowClass = {0};
  windowClass.lpfnWndProc = TrayWindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kWindowClass;
  if (!RegisterClassW(&windowClass)) return 4;
  HWND window = CreateWindowExW(0, kWindowClass, L"Orvandelle tray", WS_OVERLAPPED, 0, 0, 100, 100, NULL, NULL,
                                instance, NULL);
  if (window == NULL) return 5;
  MSG message;
  while (GetMessageW(&message, NULL, 0, 0) > 0) DispatchMessageW(&message);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  return 0;
}
