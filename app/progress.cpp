#include "app/progress.h"

#include <cstdint>
#include <cstring>

#include "base/text.h"
#include "platform/fileio.h"
#include "platform/ui.h"

namespace {

constexpr uint32_t kRepaintInterval = 50;
constexpr uint32_t kServeInterval = 10;
constexpr int kTextSize = 256;

struct Indicator {
  bool open;
  int cancelFlag;
  char shownCaption[kTextSize];
  char pendingCaption[kTextSize];
  char pendingText[kTextSize];
  bool pending;  // texts set but not painted yet
  uint32_t lastPaint;
  uint32_t lastServed;
};

Indicator s_Indicator;

void Paint() {
  Indicator& w = s_Indicator;
  if (!w.open || !w.pending) return;
  const bool newCaption = std::strcmp(w.shownCaption, w.pendingCaption) != 0;
  PaintIndicator(newCaption ? w.pendingCaption : nullptr, w.pendingText);
  if (newCaption) std::memcpy(w.shownCaption, w.pendingCaption, sizeof w.shownCaption);
  w.pending = false;
  w.lastPaint = GetTicks();
}

class WindowProgress : public Progress {
 public:
  int Update(const char* caption, const char* text) override { return UpdateIndicator(caption, text); }
};

WindowProgress s_WindowProgress;

}  // namespace

void ShowIndicator(int show) {
  Indicator& w = s_Indicator;
  w.cancelFlag = 0;
  w.pending = false;
  w.shownCaption[0] = '\0';
  if (w.open) CloseIndicator();
  w.open = show != 0 && OpenIndicator();
  const uint32_t now = GetTicks();
  w.lastPaint = now - kRepaintInterval;
  w.lastServed = now - kServeInterval;
}

int UpdateIndicator(const char* caption, const char* text) {
  Indicator& w = s_Indicator;
  if (!w.open) return StopRequested() ? 1 : 0;
  CopyText(w.pendingCaption, kTextSize, caption ? caption : "");
  CopyText(w.pendingText, kTextSize, text ? text : "");
  w.pending = true;
  // A new caption is a new stage: shown, and input served, at once.
  const uint32_t now = GetTicks();
  const bool newStage = std::strcmp(w.shownCaption, w.pendingCaption) != 0;
  if (newStage || now - w.lastPaint >= kRepaintInterval) Paint();
  if (w.cancelFlag == 0 && (newStage || now - w.lastServed >= kServeInterval)) {
    w.lastServed = now;
    if (ServeIndicator()) {
      Paint();  // the count the user is asked about
      if (ConfirmCancel()) w.cancelFlag = 1;
    }
  }
  return w.cancelFlag != 0 || StopRequested() ? 1 : 0;
}

int ShowBox(const char* text, const char* caption, unsigned style) {
  Paint();
  return ShowMessageBox(text, caption, style);
}

Progress* IndicatorProgress() { return &s_WindowProgress; }
