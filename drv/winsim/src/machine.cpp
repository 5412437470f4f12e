// The call record, fault injection, resets and text helpers shared by every simulated area.
#include "winsim/machine.h"

#include <map>

#include "winsim/win32_api.h"

namespace winsim {
namespace {

struct Fault {
  int skip;
  int count;  // -1: forever
  DWORD error;
};

struct CallState {
  std::vector<Call> calls;
  std::map<std::string, std::vector<Fault>> faults;
  bool failAtSet = false;
  size_t failAt = 0;
  DWORD failAtError = 0;
  bool dieAtSet = false;
  size_t dieAt = 0;
  std::function<bool()> dieWhen;
};

CallState& State() {
  static CallState state;
  return state;
}

std::vector<void (*)()>& Resets() {
  static std::vector<void (*)()> resets;
  return resets;
}

std::vector<bool (*)(HANDLE)>& Closers() {
  static std::vector<bool (*)(HANDLE)> closers;
  return closers;
}

}  // namespace

void RegisterHandleCloser(bool (*closer)(HANDLE handle)) { Closers().push_back(closer); }

void RegisterReset(void (*reset)()) { Resets().push_back(reset); }

std::vector<void (*)()>& InstallerEnds() {
  static std::vector<void (*)()> ends;
  return ends;
}

void RegisterInstallerEnd(void (*end)()) { InstallerEnds().push_back(end); }

void EndInstallerProcess() {
  for (auto end : InstallerEnds()) end();
}

void DieAtCall(size_t index) {
  State().dieAtSet = true;
  State().dieAt = index;
}

void DieWhen(std::function<bool()> condition) { State().dieWhen = std::move(condition); }

void ResetMachine() {
  State() = CallState();
  for (auto reset : Resets()) reset();
  SetLastError(0);
}

const std::vector<Call>& Calls() { return State().calls; }

std::vector<Call> CallsOf(const std::string& name) {
  std::vector<Call> found;
  for (const Call& call : State().calls)
    if (call.name == name) found.push_back(call);
  return found;
}

size_t CountCalls(const std::string& name) { return CallsOf(name).size(); }

void ClearCalls() { State().calls.clear(); }

void FailNext(const std::string& name, int count, DWORD error, int skip) {
  State().faults[name].push_back(Fault{skip, count, error});
}

void FailCallAt(size_t index, DWORD error) {
  State().failAtSet = true;
  State().failAt = index;
  State().failAtError = error;
}

void ClearFaults() {
  State().faults.clear();
  State().failAtSet = false;
  State().dieAtSet = false;
  State().dieWhen = nullptr;
}

bool EnterCall(const char* name, std::vector<std::string> args) {
  bool dies = (State().dieAtSet && State().dieAt == State().calls.size()) || (State().dieWhen && State().dieWhen());
  if (dies) {
    State().dieAtSet = false;
    State().dieWhen = nullptr;
    throw ProcessDied();
  }
  State().calls.push_back(Call{name, std::move(args), Now()});
  if (State().failAtSet && State().failAt == State().calls.size() - 1) {
    SetLastError(State().failAtError);
    return true;
  }
  auto found = State().faults.find(name);
  if (found == State().faults.end()) return false;
  for (Fault& fault : found->second) {
    if (fault.count == 0) continue;
    if (fault.skip > 0) {
      fault.skip--;
      return false;
    }
    if (fault.count > 0) fault.count--;
    SetLastError(fault.error);
    return true;
  }
  return false;
}

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      i++;
    }
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string Utf8(const WCHAR* text) { return text ? Utf8(std::u16string(text)) : std::string("(null)"); }

std::u16string Utf16(const std::string& utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char b = utf8[i];
    uint32_t c = b;
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    if (extra) c = b & (0x3F >> extra);
    i++;
    for (int k = 0; k < extra && i < utf8.size(); k++, i++) c = (c << 6) | (utf8[i] & 0x3F);
    if (c >= 0x10000) {
      c -= 0x10000;
      out += char16_t(0xD800 + (c >> 10));
      out += char16_t(0xDC00 + (c & 0x3FF));
    } else {
      out += char16_t(c);
    }
  }
  return out;
}

std::string Hex(uint64_t value) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), digits[value & 15]);
    value >>= 4;
  } while (value);
  return "0x" + out;
}

std::string Ptr(const void* p) { return p ? Hex(reinterpret_cast<uintptr_t>(p)) : std::string("null"); }

}  // namespace winsim

// Every area's kernel handles end here; see RegisterHandleCloser.
BOOL CloseHandle(HANDLE handle) {
  if (winsim::EnterCall("CloseHandle", {winsim::Ptr(handle)})) return FALSE;
  for (auto closer : winsim::Closers())
    if (closer(handle)) return TRUE;
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
