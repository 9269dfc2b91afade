#include "platform/ui.h"

#include <windows.h>

#include <cstring>

#include "platform/windows/instance.h"

HINSTANCE g_Instance;

INT_PTR CALLBACK IndicatorProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

namespace {

constexpr int kStatusId = 100;
constexpr int kCancelId = 200;
// Texts set more often than this are kept and shown at the next chance:
// repainting a caption and a status line every 100 records costs more than
// the conversion of those records.
constexpr DWORD kRepaintInterval = 50;
// Input is served at most this often (and on every new caption): each look
// into the message queue is a call into the window system (under Wine a
// round trip to its server), which every 100 records would cost a large
// part of the conversion. A click still gets its answer within a blink.
constexpr DWORD kServeInterval = 10;

HWND g_IndicatorWindow;
int g_CancelFlag;

// What the window shows, and what it should show once the next repaint is due.
char g_ShownCaption[256];
char g_PendingCaption[256];
char g_PendingText[256];
bool g_Pending;
DWORD g_LastPaint;
DWORD g_LastServed;

void CopyCut(char* dst, size_t size, const char* src) {
  std::strncpy(dst, src ? src : "", size - 1);
  dst[size - 1] = '\0';
}

void Paint() {
  if (g_IndicatorWindow == nullptr || !g_Pending) return;
  if (std::strcmp(g_ShownCaption, g_PendingCaption) != 0) {
    SetWindowTextA(g_IndicatorWindow, g_PendingCaption);
    std::memcpy(g_ShownCaption, g_PendingCaption, sizeof g_ShownCaption);
  }
  SetDlgItemTextA(g_IndicatorWindow, kStatusId, g_PendingText);
  g_Pending = false;
  g_LastPaint = GetTickCount();
}

}  // namespace

void FlushIndicator() { Paint(); }

INT_PTR CALLBACK IndicatorProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_COMMAND && LOWORD(wParam) == kCancelId) {
    Paint();  // the count the user is asked about
    if (MessageBoxA(window, "キャンセルしますか", "確認", MB_YESNO | MB_ICONQUESTION) == IDYES) {
      g_CancelFlag = 1;
    }
    return TRUE;
  }
  return FALSE;
}

void* ShowIndicator(void* parent, int show) {
  g_CancelFlag = 0;
  g_Pending = false;
  g_ShownCaption[0] = '\0';
  if (show != 0) {
    if (g_IndicatorWindow != nullptr) DestroyWindow(g_IndicatorWindow);
    g_IndicatorWindow = CreateDialogParamA(g_Instance, "IndicatorBox", static_cast<HWND>(parent),
                                           IndicatorProc, 0);
    if (g_IndicatorWindow != nullptr) {
      ShowWindow(g_IndicatorWindow, SW_SHOW);
      // The template's caption stays until the first update replaces it.
      GetWindowTextA(g_IndicatorWindow, g_ShownCaption, sizeof g_ShownCaption);
      g_LastPaint = GetTickCount() - kRepaintInterval;
      g_LastServed = GetTickCount() - kServeInterval;
    }
  } else {
    if (g_IndicatorWindow != nullptr) DestroyWindow(g_IndicatorWindow);
    g_IndicatorWindow = nullptr;
    if (parent != nullptr) SetFocus(static_cast<HWND>(parent));
  }
  return g_IndicatorWindow;
}

int UpdateIndicator(const char* caption, const char* text) {
  if (g_IndicatorWindow == nullptr) return 0;
  CopyCut(g_PendingCaption, sizeof g_PendingCaption, caption);
  CopyCut(g_PendingText, sizeof g_PendingText, text);
  g_Pending = true;
  // A new caption is a new stage and is shown at once; within a stage the
  // status line follows at most every kRepaintInterval.
  const DWORD now = GetTickCount();
  const bool newStage = std::strcmp(g_ShownCaption, g_PendingCaption) != 0;
  if (newStage || now - g_LastPaint >= kRepaintInterval) Paint();
  if (!newStage && now - g_LastServed < kServeInterval) return g_CancelFlag;
  g_LastServed = now;
  MSG msg;
  while (g_CancelFlag == 0 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (g_IndicatorWindow != nullptr && IsDialogMessageA(g_IndicatorWindow, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return g_CancelFlag;
}

bool StopRequested() { return false; }

void ListenForStop() {}

int ShowMessageBox(const char* text, const char* caption, unsigned style) {
  Paint();  // the progress window shows the final count behind the box
  return MessageBoxA(nullptr, text, caption, style);
}
