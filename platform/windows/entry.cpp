#include <windows.h>

#include "app/startup.h"
#include "platform/process.h"
#include "platform/windows/instance.h"

// The GUI entry: no console. The C runtime hands over the command line after
// the program's own name, blanks before it skipped, quotes left in place.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR argString, int) {
  g_Instance = instance;
  // No crash dump with the password in it, whatever befalls the run.
  DisableCrashDumps();
  return RunProgram(argString);
}
