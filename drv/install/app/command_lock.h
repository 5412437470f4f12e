// One command at a time on a machine: the commands that change the machine hold one named
// mutex from before their first change to after their last, so that two runs started together
// (a deployment tool and a person, two overlapping policies) never snapshot, delete and
// re-create the product's printers over each other.
#pragma once

#include "platform.h"

// Machine-wide ("Global\"), so that a run in another session, or a service's run as SYSTEM,
// counts too. Its own name: the tray program's mutex and hand-shake are a separate matter.
extern const char kCommandMutexName[];

// How long a command waits for another run to finish: the longest legitimate run, counted from
// the installer's own bounded waits with every one of them running to its end, is about 4.6
// minutes (help windows 10 s; spooler check 10 s; tray hand-shake 105 s and its file 1 s; five
// spooler restarts of 20 s each for driver removal, monitor removal, the clearing retry, the
// monitor copy and the closing retry; four copies with a 10 s open budget each, the monitor
// copied twice, 50 s; monitor registration 0.25 s). Ten minutes is more than twice that, which
// leaves room for the spooler's own work on a machine with hundreds of printers.
const DWORD kCommandLockWait = 10 * 60 * 1000;

// Takes the process's command lock, waiting up to kCommandLockWait for another run to give it
// back. ERROR_SUCCESS: this run holds it until ReleaseCommandLock. WAIT_TIMEOUT: another run
// kept it for the whole wait. Any other code: no lock that only SYSTEM or the Administrators
// can own was to be had (the name is held by another kind of object, or by a mutex another
// account made, or a call failed), and that is why. In both failures the caller must not touch
// the machine: a run that went on unguarded could work beside another. A mutex left abandoned
// by a run that died counts as free.
DWORD AcquireCommandLock();
// Gives the lock up and closes it; nothing when this process holds none. Called as soon as the
// command's last change is made, before its log window, so that a window left open keeps no
// other run waiting.
void ReleaseCommandLock();
