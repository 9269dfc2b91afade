// uiauto: a small console program that drives another program's windows,
// for the end-to-end tests under Wine.
//
//   uiauto list                           top-level windows and their captions
//   uiauto wait CAPTION [SECONDS]         wait until a window has the caption
//   uiauto texts CAPTION [SECONDS]        its static texts, one per line
//   uiauto item CAPTION ID [SECONDS]      the text of one control
//   uiauto rects CAPTION [SECONDS]        where the window and its static texts
//                                         are on the screen: the window's
//                                         "LEFT TOP RIGHT BOTTOM CAPTION", then
//                                         one such line per static text
//   uiauto press CAPTION ID|TEXT [SECONDS]  press a button (posted, so a box
//                                         it opens does not block us)
//   uiauto close CAPTION ID|TEXT [SECONDS]  press a button that closes its
//                                         window, and wait until it has
//   uiauto cancel [yes|no] [SECONDS]      press button 200 of the progress
//                                         window, then answer the "確認" box
//   uiauto run EXE [ARGUMENT STRING]      start EXE with exactly that command
//                                         line tail; exit with its exit code
//   uiauto keep SECONDS                   keep Wine's desktop up that long;
//                                         "ready" once a window could be made
//                                         on it, exit 6 when none can (a
//                                         desktop brought up without a display)
//
// CAPTION "*" stands for any window. Arguments may carry \uXXXX escapes for
// text the command line cannot hold. Texts are printed in UTF-8, a line feed
// inside a text as \n and a backslash as \\. Window texts are read as
// UTF-16, so that they read right whatever the system's code page is.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Utf16ToUtf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr,
                      nullptr);
  return s;
}

// An argument with \uXXXX escapes, as UTF-8.
std::string Unescape(const char* arg) {
  std::wstring w;
  for (const char* p = arg; *p != '\0';) {
    if (p[0] == '\\' && p[1] == 'u' && std::strlen(p) >= 6) {
      char hex[5] = {p[2], p[3], p[4], p[5], '\0'};
      w += static_cast<wchar_t>(std::strtoul(hex, nullptr, 16));
      p += 6;
    } else {
      w += static_cast<wchar_t>(static_cast<unsigned char>(*p));
      ++p;
    }
  }
  return Utf16ToUtf8(w);
}

// A window's text in UTF-8. A top-level window's caption is read without a
// message to its program; a control's text needs WM_GETTEXT, sent with a
// time-out so that a program that has stopped serving messages cannot hang us.
// A summary box holds up to about 33 KB of text.
std::string WindowText(HWND w) {
  static wchar_t buf[40000];
  const int size = static_cast<int>(sizeof buf / sizeof buf[0]);
  size_t n = 0;
  if (GetParent(w) == nullptr) {
    const int got = GetWindowTextW(w, buf, size);
    n = got > 0 ? static_cast<size_t>(got) : 0;
  } else {
    DWORD_PTR got = 0;
    if (SendMessageTimeoutW(w, WM_GETTEXT, size, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG,
                            2000, &got) && got < static_cast<DWORD_PTR>(size)) {
      n = static_cast<size_t>(got);
    }
  }
  return Utf16ToUtf8(std::wstring(buf, n));
}

void Print(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c != '\r') {
      out += c;
    }
  }
  out += '\n';
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written,
            nullptr);
}

struct Search {
  std::string caption;  // "*" for any
  int needChild;        // a control id the window must have, or 0
  HWND found;
};

BOOL CALLBACK FindTop(HWND w, LPARAM lp) {
  Search* s = reinterpret_cast<Search*>(lp);
  if (!IsWindowVisible(w)) return TRUE;
  if (s->caption != "*" && WindowText(w) != s->caption) return TRUE;
  if (s->needChild != 0 && GetDlgItem(w, s->needChild) == nullptr) return TRUE;
  s->found = w;
  return FALSE;
}

HWND WaitWindow(const std::string& caption, int needChild, double seconds) {
  const DWORD end = GetTickCount() + static_cast<DWORD>(seconds * 1000);
  for (;;) {
    Search s{caption, needChild, nullptr};
    EnumWindows(FindTop, reinterpret_cast<LPARAM>(&s));
    if (s.found != nullptr) return s.found;
    if (static_cast<LONG>(GetTickCount() - end) >= 0) return nullptr;
    Sleep(50);
  }
}

// "LEFT TOP RIGHT BOTTOM " in screen coordinates.
std::string RectText(HWND w) {
  RECT r;
  if (!GetWindowRect(w, &r)) r = RECT{0, 0, 0, 0};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%ld %ld %ld %ld ", r.left, r.top, r.right, r.bottom);
  return buf;
}

struct StaticTexts {
  bool withRects;
  std::vector<std::string> lines;
};

BOOL CALLBACK CollectStatic(HWND w, LPARAM lp) {
  char cls[64];
  GetClassNameA(w, cls, sizeof cls);
  if (lstrcmpiA(cls, "Static") == 0) {
    const std::string t = WindowText(w);
    StaticTexts* s = reinterpret_cast<StaticTexts*>(lp);
    if (!t.empty()) s->lines.push_back(s->withRects ? RectText(w) + t : t);
  }
  return TRUE;
}

void PrintStatic(HWND w, bool withRects) {
  StaticTexts texts{withRects, {}};
  EnumChildWindows(w, CollectStatic, reinterpret_cast<LPARAM>(&texts));
  for (const std::string& t : texts.lines) Print(t);
}

struct ButtonSearch {
  std::string text;
  HWND found;
};

std::string WithoutAmpersand(const std::string& s) {
  std::string r;
  for (char c : s) {
    if (c != '&') r += c;
  }
  return r;
}

BOOL CALLBACK FindButton(HWND w, LPARAM lp) {
  ButtonSearch* s = reinterpret_cast<ButtonSearch*>(lp);
  char cls[64];
  GetClassNameA(w, cls, sizeof cls);
  if (lstrcmpiA(cls, "Button") == 0) {
    if (WithoutAmpersand(WindowText(w)) == s->text) {
      s->found = w;
      return FALSE;
    }
  }
  return TRUE;
}

// Posts the button's click to its window, as the button itself would.
bool Press(HWND top, const std::string& which) {
  HWND button = nullptr;
  int id = 0;
  char* end = nullptr;
  const long n = std::strtol(which.c_str(), &end, 10);
  if (!which.empty() && *end == '\0') {
    id = static_cast<int>(n);
    button = GetDlgItem(top, id);
  } else {
    ButtonSearch s{which, nullptr};
    EnumChildWindows(top, FindButton, reinterpret_cast<LPARAM>(&s));
    button = s.found;
    if (button != nullptr) id = GetDlgCtrlID(button);
  }
  if (id == 0) return false;
  return PostMessageA(top, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                      reinterpret_cast<LPARAM>(button)) != 0;
}

// A click posted while a box is still being set up can go unseen under Wine,
// and the program then waits on the box for good: press again until the
// window is gone. 0 when it is, 3 when there is no such button, 5 when the
// window is still there after SECONDS.
int PressToClose(HWND w, const std::string& which, double seconds) {
  const DWORD end = GetTickCount() + static_cast<DWORD>(seconds * 1000);
  for (;;) {
    if (!Press(w, which) && IsWindow(w)) return 3;
    for (int i = 0; i < 20; ++i) {
      if (!IsWindow(w) || !IsWindowVisible(w)) return 0;
      Sleep(50);
    }
    if (static_cast<LONG>(GetTickCount() - end) >= 0) return 5;
  }
}

double Seconds(int argc, char** argv, int at) { return argc > at ? std::atof(argv[at]) : 30.0; }

BOOL CALLBACK ListTop(HWND w, LPARAM) {
  if (IsWindowVisible(w)) {
    char cls[64];
    GetClassNameA(w, cls, sizeof cls);
    Print(std::string(cls) + "\t" + WindowText(w));
  }
  return TRUE;
}

int Run(int argc, char** argv) {
  // The child's command line: the quoted program path, a blank, the tail
  // exactly as given.
  std::string cmd = std::string("\"") + argv[2] + "\"";
  if (argc > 3) cmd += std::string(" ") + argv[3];
  STARTUPINFOA si;
  std::memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  std::vector<char> line(cmd.begin(), cmd.end());
  line.push_back('\0');
  if (!CreateProcessA(argv[2], line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    std::fprintf(stderr, "uiauto: cannot start %s (%lu)\n", argv[2], GetLastError());
    return 125;
  }
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return static_cast<int>(code);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: uiauto list|wait|texts|item|rects|press|close|cancel|run|keep ...\n");
    return 2;
  }
  const std::string cmd = argv[1];
  if (cmd != "run") {
    // Whatever happens to the windows we drive, we end: the command's wait
    // (the argument after its caption, or after its control) plus a margin.
    const bool afterControl = cmd == "item" || cmd == "press" || cmd == "close";
    static DWORD limit;
    const int secondsAt = cmd == "keep" ? 2 : afterControl ? 4 : 3;
    limit = static_cast<DWORD>((Seconds(argc, argv, secondsAt) + 15) * 1000);
    CreateThread(nullptr, 0, [](LPVOID) -> DWORD {
      Sleep(limit);
      std::fprintf(stderr, "uiauto: gave up\n");
      ExitProcess(124);
    }, nullptr, 0, nullptr);
  }
  if (cmd == "list") {
    EnumWindows(ListTop, 0);
    return 0;
  }
  if (cmd == "keep" && argc >= 3) {
    // Wine's desktop takes its display driver from the program that brings
    // it up: one brought up by a program without DISPLAY has none, and no
    // window of any later program on it can be made (MessageBoxW returns -1
    // at once). A window of our own shows that this one has a display.
    HWND probe = CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                 nullptr, nullptr);
    if (probe == nullptr) {
      std::fprintf(stderr, "uiauto: no window can be made on this desktop (%lu)\n", GetLastError());
      return 6;
    }
    DestroyWindow(probe);
    Print("ready");
    Sleep(static_cast<DWORD>(Seconds(argc, argv, 2) * 1000));
    return 0;
  }
  if (cmd == "run" && argc >= 3) return Run(argc, argv);
  if ((cmd == "wait" || cmd == "texts" || cmd == "rects") && argc >= 3) {
    HWND w = WaitWindow(Unescape(argv[2]), 0, Seconds(argc, argv, 3));
    if (w == nullptr) return 1;
    if (cmd == "rects") Print(RectText(w) + WindowText(w));
    if (cmd != "wait") PrintStatic(w, cmd == "rects");
    return 0;
  }
  if (cmd == "item" && argc >= 4) {
    HWND w = WaitWindow(Unescape(argv[2]), std::atoi(argv[3]), Seconds(argc, argv, 4));
    if (w == nullptr) return 1;
    Print(WindowText(GetDlgItem(w, std::atoi(argv[3]))));
    return 0;
  }
  if (cmd == "press" && argc >= 4) {
    HWND w = WaitWindow(Unescape(argv[2]), 0, Seconds(argc, argv, 4));
    if (w == nullptr) return 1;
    return Press(w, Unescape(argv[3])) ? 0 : 3;
  }
  if (cmd == "close" && argc >= 4) {
    const double seconds = Seconds(argc, argv, 4);
    HWND w = WaitWindow(Unescape(argv[2]), 0, seconds);
    if (w == nullptr) return 1;
    return PressToClose(w, Unescape(argv[3]), seconds);
  }
  if (cmd == "cancel") {
    const bool yes = argc < 3 || std::string(argv[2]) != "no";
    const double seconds = Seconds(argc, argv, 3);
    HWND progress = WaitWindow("*", 200, seconds);
    if (progress == nullptr) return 1;
    Print(WindowText(progress));
    if (!Press(progress, "200")) return 3;
    // "確認"
    HWND confirm = WaitWindow(Unescape("\\u78ba\\u8a8d"), 0, seconds);
    if (confirm == nullptr) return 4;
    PrintStatic(confirm, false);
    return PressToClose(confirm, yes ? "6" : "7", seconds);
  }
  std::fprintf(stderr, "uiauto: unknown or incomplete command %s\n", cmd.c_str());
  return 2;
}
