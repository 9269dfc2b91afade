#pragma once
// The instance handle given to WinMain; the progress window is made from
// its IndicatorBox template. Null in programs without that resource (the unit
// tests), where the window simply cannot be created.
#include <windows.h>

extern HINSTANCE g_Instance;
