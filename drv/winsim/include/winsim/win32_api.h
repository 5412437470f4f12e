// The Win32 calls that the installer makes, declared under their Windows names and signatures.
// winsim's sources implement them against the simulated machine (see machine.h).
#pragma once

#include "winsim/win32_types.h"

// Errors and text
DWORD GetLastError();
void SetLastError(DWORD code);
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, void* arguments);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int textBytes, LPWSTR out, int outChars);
int lstrlenW(LPCWSTR text);
LPWSTR lstrcpyW(LPWSTR to, LPCWSTR from);
LPWSTR lstrcatW(LPWSTR to, LPCWSTR from);
int lstrcmpW(LPCWSTR a, LPCWSTR b);
int lstrlenA(LPCSTR text);

// Memory
HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
HGLOBAL GlobalFree(HGLOBAL block);
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL block);
HANDLE GetProcessHeap();
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block);

// Clock
void Sleep(DWORD milliseconds);
DWORD GetTickCount();

// Command line and module
LPWSTR GetCommandLineW();
LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* count);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
UINT GetSystemDirectoryW(LPWSTR buffer, UINT size);
BOOL GetVersionExA(LPOSVERSIONINFOA info);
// The installer's own start-up step (on Windows SetDefaultDllDirectories, bound at run time);
// winsim loads no DLL and only records it.
void LimitDllSearchToSystemDirectory();

// Windows and dialogs
HWND FindWindowW(LPCWSTR className, LPCWSTR title);
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL IsWindow(HWND window);
SHORT GetAsyncKeyState(int key);
INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND parent, DLGPROC proc, LPARAM init);
BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text);
BOOL SetWindowTextW(HWND window, LPCWSTR text);
BOOL EndDialog(HWND dialog, INT_PTR result);

// Services
SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access);
SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access);
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
BOOL StartServiceW(SC_HANDLE service, DWORD argCount, LPCWSTR* args);
BOOL EnumDependentServicesW(SC_HANDLE service, DWORD state, LPENUM_SERVICE_STATUSW services, DWORD bytes,
                            LPDWORD needed, LPDWORD returned);
BOOL CloseServiceHandle(SC_HANDLE handle);

// Files
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD attributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE handle);
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
BOOL DeleteFileW(LPCWSTR path);
BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
DWORD GetFileAttributesW(LPCWSTR path);
DWORD GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle);
BOOL GetFileVersionInfoW(LPCWSTR path, DWORD handle, DWORD size, LPVOID data);
BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* length);

// Registry
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size);
LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LONG RegDeleteValueA(HKEY key, LPCSTR name);
LONG RegCloseKey(HKEY key);
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options, REGSAM access,
                     LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition);
LONG RegFlushKey(HKEY key);
LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved, LPDWORD type,
                   LPBYTE data, LPDWORD dataBytes);
LONG RegDeleteValueW(HKEY key, LPCWSTR name);
LONG RegDeleteKeyA(HKEY key, LPCSTR subKey);
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameChars, LPDWORD reserved, LPSTR className,
                   LPDWORD classChars, PFILETIME lastWrite);

// Processes and synchronisation
BOOL CreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags, LPVOID environment,
                    LPCWSTR currentDirectory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info);
DWORD GetCurrentProcessId();
BOOL ProcessIdToSessionId(DWORD processId, DWORD* sessionId);
// Sessions and tokens (advapi32, kernel32; wtsapi32 and userenv bound at run time on Windows)
HANDLE GetCurrentProcess();
BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);
BOOL DuplicateTokenEx(HANDLE token, DWORD access, LPSECURITY_ATTRIBUTES attributes, SECURITY_IMPERSONATION_LEVEL level,
                      TOKEN_TYPE type, HANDLE* duplicate);
BOOL SetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS what, LPVOID information, DWORD length);
BOOL CreateProcessAsUserW(HANDLE token, LPCWSTR application, LPWSTR commandLine,
                          LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags, LPVOID environment,
                          LPCWSTR currentDirectory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info);
DWORD WTSGetActiveConsoleSessionId();
BOOL WTSQueryUserToken(ULONG session, HANDLE* token);
BOOL WTSEnumerateSessionsW(HANDLE server, DWORD reserved, DWORD version, PWTS_SESSION_INFOW* sessions, DWORD* count);
void WTSFreeMemory(LPVOID memory);
BOOL CreateEnvironmentBlock(LPVOID* environment, HANDLE token, BOOL inherit);
BOOL DestroyEnvironmentBlock(LPVOID environment);
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCSTR name);
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text, DWORD revision, PSECURITY_DESCRIPTOR* descriptor,
                                                         PULONG size);
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION wanted, PSID* owner, PSID* group,
                      void** dacl, void** sacl, PSECURITY_DESCRIPTOR* descriptor);
BOOL IsWellKnownSid(PSID sid, WELL_KNOWN_SID_TYPE type);
HANDLE OpenMutexA(DWORD access, BOOL inheritHandle, LPCSTR name);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL ReleaseMutex(HANDLE mutex);

// Spooler
BOOL EnumMonitorsW(LPWSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned);
BOOL AddMonitorW(LPWSTR name, DWORD level, LPBYTE monitorInfo);
BOOL DeleteMonitorW(LPWSTR name, LPWSTR environment, LPWSTR monitorName);
BOOL GetPrinterDriverDirectoryW(LPWSTR name, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                                LPDWORD needed);
BOOL EnumPrinterDriversW(LPWSTR name, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                         LPDWORD needed, LPDWORD returned);
BOOL GetPrinterDriverW(HANDLE printer, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                       LPDWORD needed);
BOOL AddPrinterDriverExW(LPWSTR name, DWORD level, LPBYTE driverInfo, DWORD copyFlags);
BOOL DeletePrinterDriverExW(LPWSTR name, LPWSTR environment, LPWSTR driverName, DWORD deleteFlag,
                            DWORD versionFlag);
BOOL EnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                   LPDWORD returned);
BOOL OpenPrinterW(LPWSTR printerName, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults);
BOOL GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed);
BOOL SetPrinterW(HANDLE printer, DWORD level, LPBYTE info, DWORD command);
HANDLE AddPrinterW(LPWSTR name, DWORD level, LPBYTE info);
BOOL DeletePrinter(HANDLE printer);
BOOL ClosePrinter(HANDLE printer);
DWORD GetPrinterDataA(HANDLE printer, LPSTR valueName, LPDWORD type, LPBYTE data, DWORD size, LPDWORD needed);
DWORD GetPrinterDataExA(HANDLE printer, LPCSTR keyName, LPCSTR valueName, LPDWORD type, LPBYTE data, DWORD size,
                        LPDWORD needed);
DWORD SetPrinterDataA(HANDLE printer, LPSTR valueName, DWORD type, LPBYTE data, DWORD size);
DWORD SetPrinterDataExA(HANDLE printer, LPCSTR keyName, LPCSTR valueName, DWORD type, LPBYTE data, DWORD size);
// winspool.drv exports these by ordinal only (203 and 204).
BOOL SpoolerGetDefaultPrinterW(LPWSTR buffer, LPDWORD chars);
BOOL SpoolerSetDefaultPrinterW(LPCWSTR printerName);
BOOL GetDefaultPrinterW(LPWSTR buffer, LPDWORD chars);
BOOL SetDefaultPrinterW(LPCWSTR printerName);

// Window stations and the event log
HWINSTA GetProcessWindowStation();
BOOL GetUserObjectInformationW(HANDLE object, int index, LPVOID info, DWORD length, LPDWORD needed);
HANDLE RegisterEventSourceW(LPCWSTR server, LPCWSTR source);
BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID user, WORD stringCount,
                  DWORD dataSize, LPCWSTR* strings, LPVOID data);
BOOL DeregisterEventSource(HANDLE eventLog);
