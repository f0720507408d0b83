#include "launcher/ui/skin_dialog.h"

bool SkinDialog::LoadBackground(int bitmap_id) {
  platform::Image image;
  if (!bitmaps_ || !bitmaps_->Bitmap(bitmap_id, &image)) return false;
  background_ = std::move(image);
  loaded_ = true;
  if (window_) window_->SetClientSize(background_.width(), background_.height());
  Apply();
  return true;
}

void SkinDialog::SetKeyColor(platform::Color key) {
  key_ = key;
  Apply();
}

void SkinDialog::ShapeFromImage(bool on) {
  shaped_ = on;
  Apply();
}

std::vector<platform::Rect> SkinDialog::Shape() const {
  if (!shaped_ || !loaded_) return {};
  return platform::RegionFromImage(background_, key_);
}

void SkinDialog::Apply() {
  if (!window_) return;
  window_->SetShape(Shape());
  window_->Repaint();
}

void SkinDialog::OnCreate(platform::Window& window) {
  window_ = &window;
  if (loaded_) window_->SetClientSize(background_.width(), background_.height());
  Apply();
}

void SkinDialog::OnDestroy() { window_ = nullptr; }

bool SkinDialog::OnEraseBackground(platform::Canvas& canvas) {
  if (!loaded_) return false;
  canvas.DrawImage(background_, 0, 0, background_.width(), background_.height());
  return true;
}

bool SkinDialog::TransparentBackground(const std::string& class_name) {
  std::string lower;
  for (char c : class_name) lower.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  return lower != platform::kTrackbarClass;
}
