#pragma once
// The error text of a run: the error lines of every step ("  " message "\n"),
// which the run log writes after the run's end entry and the single-file
// summary box shows. It keeps a whole night's lines and is cut only between
// whole lines: once a line no longer fits, that line and every later one
// are left out and counted in a last line "  ほか<n>件のエラーを省略\n".

constexpr int kErrorTextSize = 32 * 1024;

class ErrorText {
 public:
  ErrorText() { Clear(); }
  ErrorText(const ErrorText&) = delete;
  ErrorText& operator=(const ErrorText&) = delete;

  const char* text() const { return text_; }
  bool empty() const { return text_[0] == '\0'; }
  void Clear();
  // Appends the line "  " + name + message; message normally ends with "\n"
  // (a line that does not is given one). A line longer than 1,000 bytes is
  // cut at a whole character, and a name so cut takes no message after it.
  void AppendLine(const char* name, const char* message);

 private:
  char text_[kErrorTextSize];  // whole lines, then the omission line
  int linesLength_;            // bytes of whole lines at the start of text_
  int omitted_;                // lines left out
};
