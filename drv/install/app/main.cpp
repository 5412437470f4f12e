// The process entry: everything happens in RunCommand, whose result is the exit code.
#include "app/command_dispatch.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { return RunCommand(instance); }
