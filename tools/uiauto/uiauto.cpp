// uiauto: a small console program that drives another program's windows,
// for the end-to-end tests under Wine.
//
//   uiauto list                           top-level windows and their captions
//   uiauto wait CAPTION [SECONDS]         wait until a window has the caption
//   uiauto texts CAPTION [SECONDS]        its static texts, one per line
//   uiauto item CAPTION ID [SECONDS]      the text of one control
//   uiauto press CAPTION ID|TEXT [SECONDS]  press a button (posted, so a box
//                                         it opens does not block us)
//   uiauto cancel [yes|no] [SECONDS]      press button 200 of the progress
//                                         window, then answer the "確認" box
//   uiauto run EXE [ARGUMENT STRING]      start EXE with exactly that command
//                                         line tail; exit with its exit code
//
// CAPTION "*" stands for any window. Arguments may carry \uXXXX escapes for
// text the command line cannot hold. Texts are printed in UTF-8, a line feed
// inside a text as \n and a backslash as \\. The program's windows hold
// Shift-JIS texts; they are read back in the system code page and decoded as
// code page 932, which gives the right text whatever the code page is.
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

std::wstring FromCodePage(UINT cp, const std::string& s) {
  if (s.empty()) return std::wstring();
  const int n = MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
  return w;
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

// A window's text as the program set it (Shift-JIS), in UTF-8.
std::string WindowText(HWND w) {
  // WM_GETTEXT with a time-out: a window whose program has stopped serving
  // messages (one left behind by an earlier run) must not hang us.
  char buf[4096];
  buf[0] = '\0';
  DWORD_PTR n = 0;
  if (!SendMessageTimeoutA(w, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf),
                           SMTO_ABORTIFHUNG | SMTO_BLOCK, 2000, &n)) {
    n = 0;
  }
  if (n >= sizeof buf) n = 0;
  return Utf16ToUtf8(FromCodePage(932, std::string(buf, static_cast<size_t>(n))));
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

BOOL CALLBACK CollectStatic(HWND w, LPARAM lp) {
  char cls[64];
  GetClassNameA(w, cls, sizeof cls);
  if (lstrcmpiA(cls, "Static") == 0) {
    const std::string t = WindowText(w);
    if (!t.empty()) reinterpret_cast<std::vector<std::string>*>(lp)->push_back(t);
  }
  return TRUE;
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
    // Buttons of a dialog resource hold UTF-16 text: read them as such.
    wchar_t wbuf[256];
    GetWindowTextW(w, wbuf, 256);
    if (WithoutAmpersand(Utf16ToUtf8(wbuf)) == s->text || WithoutAmpersand(WindowText(w)) == s->text) {
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
    std::fprintf(stderr, "usage: uiauto list|wait|texts|item|press|cancel|run ...\n");
    return 2;
  }
  const std::string cmd = argv[1];
  if (cmd == "list") {
    EnumWindows(ListTop, 0);
    return 0;
  }
  if (cmd == "run" && argc >= 3) return Run(argc, argv);
  if ((cmd == "wait" || cmd == "texts") && argc >= 3) {
    HWND w = WaitWindow(Unescape(argv[2]), 0, Seconds(argc, argv, 3));
    if (w == nullptr) return 1;
    if (cmd == "texts") {
      std::vector<std::string> texts;
      EnumChildWindows(w, CollectStatic, reinterpret_cast<LPARAM>(&texts));
      for (const std::string& t : texts) Print(t);
    }
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
    std::vector<std::string> texts;
    EnumChildWindows(confirm, CollectStatic, reinterpret_cast<LPARAM>(&texts));
    for (const std::string& t : texts) Print(t);
    return Press(confirm, yes ? "6" : "7") ? 0 : 3;
  }
  std::fprintf(stderr, "uiauto: unknown or incomplete command %s\n", cmd.c_str());
  return 2;
}
