// A bitmap button that cycles through frames on a timer while it is enabled
// and not checked.
#ifndef LAUNCHER_UI_FLASH_BMP_BUTTON_H_
#define LAUNCHER_UI_FLASH_BMP_BUTTON_H_

#include <vector>

#include "launcher/ui/bmp_button.h"

// The frame counter. Each step adds one; when the counter reaches the number
// of frames minus one it jumps to 1 - frames when running back and forth, so
// that its absolute value walks 0, 1, ..., n-1, n-2, ..., 0, 1, ... Running
// one way, every frame is shown before it starts again at 0.
class FlashCounter {
 public:
  FlashCounter(int frames, bool back_and_forth) : frames_(frames), back_and_forth_(back_and_forth) {}
  void Reset() { counter_ = 0; }
  void Advance();
  // The frame to show: 0 <= Frame() < frames, or 0 without frames.
  int Frame() const { return counter_ < 0 ? -counter_ : counter_; }
  int value() const { return counter_; }

 private:
  int frames_;
  bool back_and_forth_;
  int counter_ = 0;
};

class CFlashBmpButton : public CBmpButton {
 public:
  static constexpr int kDefaultPeriodMs = 80;
  static constexpr int kFlashTimer = 1;

  CFlashBmpButton() = default;
  ~CFlashBmpButton() override;

  // Replaces the frames. False when one cannot be loaded; the frames loaded
  // before stay.
  bool SetFrames(const BitmapSource& source, const std::vector<int>& ids);
  size_t frame_count() const { return frames_.size(); }

  // Starts (from frame 0) or stops the frame timer of the attached control.
  void Flash(bool on);
  void SetPeriod(int ms) { period_ms_ = ms > 0 ? ms : kDefaultPeriodMs; }
  void SetBackAndForth(bool on);
  int CurrentFrame() const { return counter_.Frame(); }

  void OnPaint(platform::Canvas& canvas, const platform::ButtonPaintState& state) override;
  void OnTimer(int id) override;
  void OnControlDestroyed() override {
    flashing_ = false;
    CBmpButton::OnControlDestroyed();
  }

 protected:
  void KeyChanged() override;

 private:
  std::vector<platform::Image> frames_;
  std::vector<platform::Image> shown_;
  FlashCounter counter_{0, true};
  bool back_and_forth_ = true;
  int period_ms_ = kDefaultPeriodMs;
  bool flashing_ = false;
};

#endif  // LAUNCHER_UI_FLASH_BMP_BUTTON_H_
