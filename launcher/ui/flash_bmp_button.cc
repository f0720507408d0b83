#include "launcher/ui/flash_bmp_button.h"

void FlashCounter::Advance() {
  if (frames_ <= 1) {
    counter_ = 0;
    return;
  }
  ++counter_;
  if (back_and_forth_) {
    if (counter_ == frames_ - 1) counter_ = 1 - frames_;
  } else if (counter_ >= frames_) {
    counter_ = 0;
  }
}

CFlashBmpButton::~CFlashBmpButton() { Flash(false); }

bool CFlashBmpButton::SetFrames(const BitmapSource& source, const std::vector<int>& ids) {
  std::vector<platform::Image> frames(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    if (!source.Bitmap(ids[i], &frames[i])) return false;
  }
  frames_ = std::move(frames);
  counter_ = FlashCounter(static_cast<int>(frames_.size()), back_and_forth_);
  KeyChanged();
  return true;
}

void CFlashBmpButton::SetBackAndForth(bool on) {
  back_and_forth_ = on;
  counter_ = FlashCounter(static_cast<int>(frames_.size()), back_and_forth_);
}

void CFlashBmpButton::KeyChanged() {
  shown_.clear();
  for (const platform::Image& f : frames_) shown_.push_back(Prepared(f));
}

void CFlashBmpButton::Flash(bool on) {
  if (on) counter_.Reset();
  if (!control()) return;
  if (on) {
    control()->SetTimer(kFlashTimer, period_ms_);
  } else if (flashing_) {
    control()->KillTimer(kFlashTimer);
  }
  flashing_ = on;
}

void CFlashBmpButton::OnTimer(int id) {
  if (id != kFlashTimer) return;
  Repaint();
  counter_.Advance();
}

void CFlashBmpButton::OnPaint(platform::Canvas& canvas, const platform::ButtonPaintState& state) {
  if (!HasArea()) return;
  const size_t frame = static_cast<size_t>(counter_.Frame());
  if (shown_.empty() || state.disabled || IsChecked() || frame >= shown_.size()) {
    CBmpButton::OnPaint(canvas, state);
    return;
  }
  DrawImageAndText(canvas, shown_[frame]);
}
