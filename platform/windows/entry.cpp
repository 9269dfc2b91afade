#include <windows.h>

#include "app/startup.h"
#include "platform/windows/instance.h"

// The GUI entry: no console. The C runtime hands over the command line after
// the program's own name, blanks before it skipped, quotes left in place.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR argString, int) {
  g_Instance = instance;
  return RunProgram(argString);
}
