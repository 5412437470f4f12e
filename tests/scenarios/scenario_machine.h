// The scenario table is played by one program built twice: against the simulated machine on the
// host, and as a Windows program under Wine. Everything it lays out and reads back goes through
// the Win32 calls of platform.h. What the two machines do differently is declared here and
// defined once per machine (machine_sim.cpp, machine_wine.cpp).
#pragma once

#include <string>
#include <vector>

#include "platform.h"

namespace scenario {

using Words = std::vector<std::string>;

// The table as read (tests/scenarios/*.txt; the format is described in scenario_runner.cpp).
struct Step {
  int line = 0;
  Words words;
  std::vector<Step> checks;      // under an action: what must hold after it
  std::vector<std::string> log;  // under a check: the "| TEXT" lines of a whole log
};
struct Scenario {
  std::string name, file, only, error;  // only: "", "host" or "wine"; error: "FILE:LINE: what"
  int line = 0;
  std::vector<Step> steps;
};

// --- what the common runner gives the machines ---

// Every scenario of the .txt files in `directory`, files in name order.
std::vector<Scenario> ReadTable(const std::string& directory);
// Plays one scenario on the machine as it is now; failures go to Fail.
void PlayScenario(const Scenario& scenario);
// Text the table and the machine exchange, UTF-8 and UTF-16; what cannot be converted becomes "?".
std::basic_string<WCHAR> W16(const std::string& text);
std::string U8(const WCHAR* text);
// ASCII lower case, as the table compares paths; a decimal word's number (0 for anything else).
std::string Lower(std::string text);
DWORD Num(const std::string& word);

// --- what each machine defines ---

// A failed check or step; `what` names the table's place. The scenario goes on unless the
// runner stops it (a malformed line stops it).
void Fail(const std::string& what);

// A component's build: the last number of its product version; kNoBuild carries no version
// resource at all.
const int kNoBuild = -1;

// The bytes of a stand-in component of `build` (name: zelmon64.dll, zeldrv64.dll, zelui64.dll,
// zelhelp.chm, orvtray.exe); the runner writes them where the table says.
std::string ComponentBytes(const std::string& name, int build);
// The installer itself put where the outer setup unpacks it, C:\Product\drv\orvinst.exe, of
// `build` (its components are written by the runner).
bool PlaceInstaller(int build);
// The console user's hive under HKEY_USERS (its SID), where the product keeps user settings.
std::string UserHive();

// What one run of the installer left for its step's checks.
struct RunSeen {
  std::string exit;              // the exit code in decimal, or "killed"
  std::string title;             // the log window's title; empty when none was shown
  std::vector<std::string> log;  // the log window's lines, else what the run wrote unseen
  bool logRead = false;          // whether `log` could be read at all
};

// A "run" line of the table (and "together").
struct RunAsked {
  Words words;              // one command word per run ("" for none); two run at once
  bool shift = false;       // Shift held at the end of the run
  bool unseen = false;      // no window can be seen (a deployment service)
  bool screenshot = false;  // a picture of the log window (a real display only)
  std::string killed;       // "", "first-gone" or "half-back": the process is ended midway
  bool besideWindow = false;  // "beside-window A B": A's log window stays open while B runs (Wine)
};

// Runs the installer as asked and waits for its end; one RunSeen per command word. Faults and
// kills the table armed apply to this run alone.
std::vector<RunSeen> RunInstaller(const RunAsked& asked);
// The machine restarts: pending renames are carried out, programs end.
bool Restart();
// Another program keeps `path` loaded until Release().
bool Hold(const std::string& path);
// A standard user's program takes the installer's lock name first ("user-mutex",
// "open-user-mutex", "event") until Release().
bool Squat(const std::string& kind);
void Release();
// The tray program started as at logon, its window up; whether one runs now.
bool StartTray();
bool TrayRunning();
// Actions only one machine can play (winsim: injected faults, sessions, services, the clock;
// Wine: planted DLLs, a spooler library taken away). Also asked, in a row only this machine
// plays, for a common action the runner could not lay out through Win32 (a printer Windows
// refuses), which the machine may then force. False when the machine does not know the action
// or its words are malformed.
bool MachineAction(const Words& w);
// Checks only one machine can make ("host", "lock", "tray-start" on winsim); false when it does
// not know the check. `seen` is compared with the table's words as any other check's.
bool MachineCheck(const Words& w, Words& seen);
// Whether this machine plays checks of this name (Wine passes over "host" and "lock").
bool PlaysCheck(const std::string& name);

}  // namespace scenario
