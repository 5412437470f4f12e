// The tray program: registered and started after an install, asked to quit and removed before.
// Both operations are silent: nothing is logged and no error is counted.
#pragma once

#include "platform.h"
#include "text/wide_text.h"

struct InstallContext;
struct DeferredDelete;

// Enters the tray program beside the installer's parent directory in the machine's Run key and
// starts it; nothing when the context turns the tray off or on Windows before NT 6.
void RegisterAndStartTray(InstallContext& context);
// Asks every running tray program to quit and waits for it, in this session and, through a copy
// of this program started there, in every other session someone uses; deletes the file the Run
// value names (one still in use goes to deletion at the next restart) and removes the value.
void StopAndRemoveTray();
// The same, except that the file the Run value names is not deleted when it is `keepFile` (the
// same full path, ASCII case ignored): a repair is about to register and start that very file.
// A null `keepFile` keeps nothing. A file still in use is added to `leftOver` when there is one.
void StopTrayKeepingFile(const WCHAR* keepFile, DeferredDelete** leftOver);
// The hand-shake alone, with a tray of this session: what the copy started in another session
// does ("quittray").
void AskTrayToQuitInThisSession();
// The full path of the tray program that RegisterAndStartTray will register, or empty text when
// it will register none (tray turned off, or Windows before NT 6). The caller releases it.
WideText TrayPathToRegister(const InstallContext& context);
