#include "base/error_text.h"

#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "base/texts.h"

namespace {

// Room kept free for the omission line: "  ほか" + ten digits + its end.
constexpr int kOmissionRoom = 48;
constexpr int kMaxLineLength = 1000;

}  // namespace

void ErrorText::Clear() {
  text_[0] = '\0';
  linesLength_ = 0;
  omitted_ = 0;
}

void ErrorText::AppendLine(const char* name, const char* message) {
  char line[kMaxLineLength + 2];
  CopyText(line, kMaxLineLength + 1, "  ");
  if (AppendText(line, kMaxLineLength + 1, name)) AppendText(line, kMaxLineLength + 1, message);
  int n = static_cast<int>(std::strlen(line));
  if (line[n - 1] != '\n') {
    line[n++] = '\n';
    line[n] = '\0';
  }
  if (omitted_ == 0 && linesLength_ + n <= kErrorTextSize - 1 - kOmissionRoom) {
    std::memcpy(text_ + linesLength_, line, static_cast<size_t>(n) + 1);
    linesLength_ += n;
    return;
  }
  // Later lines are left out too, so that what is shown keeps its order.
  ++omitted_;
  std::snprintf(text_ + linesLength_, static_cast<size_t>(kErrorTextSize - linesLength_),
                kTextMoreErrorsFormat, omitted_);
}
