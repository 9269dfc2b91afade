#include "platform/ui.h"

#include <windows.h>

#include "base/texts.h"
#include "platform/windows/instance.h"

HINSTANCE g_Instance;

INT_PTR CALLBACK IndicatorProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

namespace {

constexpr int kStatusId = 100;
constexpr int kCancelId = 200;

HWND g_IndicatorWindow;
// The cancel button was pressed and not yet asked about.
bool g_CancelPressed;

}  // namespace

// Only the cancel button (control 200) counts: Esc and Enter, which the
// dialog manager reports as commands 2 and 1, neither cancel nor close it.
INT_PTR CALLBACK IndicatorProc(HWND, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_COMMAND && LOWORD(wParam) == kCancelId) {
    g_CancelPressed = true;
    return TRUE;
  }
  return FALSE;
}

bool OpenIndicator() {
  CloseIndicator();
  g_CancelPressed = false;
  g_IndicatorWindow = CreateDialogParamA(g_Instance, "IndicatorBox", nullptr, IndicatorProc, 0);
  if (g_IndicatorWindow == nullptr) return false;
  ShowWindow(g_IndicatorWindow, SW_SHOW);
  return true;
}

void CloseIndicator() {
  if (g_IndicatorWindow != nullptr) DestroyWindow(g_IndicatorWindow);
  g_IndicatorWindow = nullptr;
}

void PaintIndicator(const char* caption, const char* text) {
  if (g_IndicatorWindow == nullptr) return;
  if (caption != nullptr) SetWindowTextA(g_IndicatorWindow, caption);
  SetDlgItemTextA(g_IndicatorWindow, kStatusId, text);
}

bool ServeIndicator() {
  MSG msg;
  while (!g_CancelPressed && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (g_IndicatorWindow != nullptr && IsDialogMessageA(g_IndicatorWindow, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  const bool pressed = g_CancelPressed;
  g_CancelPressed = false;
  return pressed;
}

bool ConfirmCancel() {
  return MessageBoxA(g_IndicatorWindow, kTextCancelQuestion, kTextConfirmCaption,
                     MB_YESNO | MB_ICONQUESTION) == IDYES;
}

int ShowMessageBox(const char* text, const char* caption, unsigned style) {
  return MessageBoxA(nullptr, text, caption, style);
}

bool StopRequested() { return false; }

void ListenForStop() {}
