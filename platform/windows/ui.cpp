#include "platform/ui.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "base/sjis.h"
#include "base/texts.h"
#include "platform/windows/instance.h"

HINSTANCE g_Instance;

INT_PTR CALLBACK IndicatorProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

namespace {

constexpr int kStatusId = 100;
constexpr int kCancelId = 200;

// The program's texts are Shift-JIS whatever the system's ANSI code page is:
// the windows get them as UTF-16, converted with code page 932, so that they
// read right on a system whose code page is not Japanese.
constexpr UINT kSjisCodePage = 932;
// The indicator's texts are cut to 255 bytes above this layer; one byte or
// one double-byte character never makes more than one UTF-16 unit.
constexpr int kShortText = 256;

HWND g_IndicatorWindow;
// The cancel button was pressed and not yet asked about.
bool g_CancelPressed;

// text in UTF-16 into out (size units, terminated). A text longer than
// size - 1 bytes is cut before the character that would not fit whole.
void ToWide(const char* text, wchar_t* out, int size) {
  int length = 0;
  while (text[length] != '\0') {
    const unsigned char byte = static_cast<unsigned char>(text[length]);
    const int step = IsSjisLeadRange(byte) && text[length + 1] != '\0' ? 2 : 1;
    if (length + step > size - 1) break;
    length += step;
  }
  int units = 0;
  if (length > 0) units = MultiByteToWideChar(kSjisCodePage, 0, text, length, out, size - 1);
  out[units] = L'\0';
}

// A message box's text (up to the error text's 32 KiB and its summary) in a
// buffer of its own size; null when there is no memory for it.
std::unique_ptr<wchar_t[]> ToWideAllocated(const char* text) {
  const int units = MultiByteToWideChar(kSjisCodePage, 0, text, -1, nullptr, 0);
  if (units <= 0) return nullptr;
  std::unique_ptr<wchar_t[]> wide(new (std::nothrow) wchar_t[units]);
  if (wide == nullptr) return nullptr;
  if (MultiByteToWideChar(kSjisCodePage, 0, text, -1, wide.get(), units) != units) return nullptr;
  return wide;
}

// Shift-JIS bytes to the standard error handle the process was given, if any
// (a GUI program started by a script or a scheduler that keeps its output).
void WriteStandardError(const char* text) {
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  DWORD written;
  WriteFile(handle, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

// A box that could not be made (no display for this process, a desktop
// going down, no memory): "<caption>: <text>" and the reason on standard
// error, as the POSIX layer prints a box, so that its text is not lost.
void TellBoxNotShown(const char* text, const char* caption, DWORD error) {
  WriteStandardError(caption);
  WriteStandardError(": ");
  WriteStandardError(text);
  const size_t length = std::strlen(text);
  if (length == 0 || text[length - 1] != '\n') WriteStandardError("\n");
  char reason[128];
  std::snprintf(reason, sizeof reason, kTextBoxNotShownFormat, static_cast<unsigned>(error));
  WriteStandardError(reason);
}

// The button pressed, or 0 when the box could not be shown (MessageBoxW
// gives 0, Wine -1 when its dialog cannot be created); then told on
// standard error.
int WideMessageBox(HWND owner, const char* text, const char* caption, unsigned style) {
  wchar_t wideCaption[kShortText];
  ToWide(caption, wideCaption, kShortText);
  std::unique_ptr<wchar_t[]> wideText = ToWideAllocated(text);
  int answer;
  if (wideText != nullptr) {
    answer = MessageBoxW(owner, wideText.get(), wideCaption, style);
  } else {
    // Short of memory the box still shows, with the start of its text.
    wchar_t shortText[kShortText];
    ToWide(text, shortText, kShortText);
    answer = MessageBoxW(owner, shortText, wideCaption, style);
  }
  if (answer > 0) return answer;
  TellBoxNotShown(text, caption, GetLastError());
  return 0;
}

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
  g_IndicatorWindow = CreateDialogParamW(g_Instance, L"IndicatorBox", nullptr, IndicatorProc, 0);
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
  wchar_t wide[kShortText];
  if (caption != nullptr) {
    ToWide(caption, wide, kShortText);
    SetWindowTextW(g_IndicatorWindow, wide);
  }
  ToWide(text, wide, kShortText);
  SetDlgItemTextW(g_IndicatorWindow, kStatusId, wide);
}

bool ServeIndicator() {
  MSG msg;
  while (!g_CancelPressed && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (g_IndicatorWindow != nullptr && IsDialogMessageW(g_IndicatorWindow, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  const bool pressed = g_CancelPressed;
  g_CancelPressed = false;
  return pressed;
}

bool ConfirmCancel() {
  return WideMessageBox(g_IndicatorWindow, kTextCancelQuestion, kTextConfirmCaption,
                        MB_YESNO | MB_ICONQUESTION) == IDYES;
}

int ShowMessageBox(const char* text, const char* caption, unsigned style) {
  return WideMessageBox(nullptr, text, caption, style);
}

void TellWithoutWaiting(const char* text, const char* caption) {
  // A scheduler or a script that gave the program a standard error gets
  // the line there, in Shift-JIS; with none there is no one to tell.
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE) return;
  DWORD done = 0;
  const char* parts[] = {caption ? caption : "", ": ", text ? text : "", "\r\n"};
  for (const char* part : parts) WriteFile(err, part, static_cast<DWORD>(lstrlenA(part)), &done, nullptr);
}

void WriteConsoleText(const char* text, bool toError) {
  HANDLE out = GetStdHandle(toError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  const int length = lstrlenA(text);
  DWORD mode = 0;
  DWORD done = 0;
  if (GetConsoleMode(out, &mode)) {
    // A console shows UTF-16 right under any code page; the texts are code page 932.
    const int units = MultiByteToWideChar(kSjisCodePage, 0, text, length, nullptr, 0);
    std::unique_ptr<wchar_t[]> wide(new (std::nothrow) wchar_t[units > 0 ? units : 1]);
    if (wide && units > 0 && MultiByteToWideChar(kSjisCodePage, 0, text, length, wide.get(), units) == units) {
      WriteConsoleW(out, wide.get(), static_cast<DWORD>(units), &done, nullptr);
      return;
    }
  }
  WriteFile(out, text, static_cast<DWORD>(length), &done, nullptr);
}

bool StopRequested() { return false; }

void ListenForStop() {}
