#include "launcher/ui/bmp_button.h"

#include <algorithm>
#include <string>

#include "platform/resources.h"

bool ResourceBitmaps::Bitmap(int id, platform::Image* out) const {
  std::string dib;
  return resources_ && resources_->LoadRaw(platform::kResourceBitmap, id, &dib) && platform::Image::FromDib(dib, out);
}

ButtonImage ChooseButtonImage(const ButtonImageState& s) {
  if (s.checked && s.have_checked) return ButtonImage::kChecked;
  if (s.pressed && s.have_pressed) return ButtonImage::kPressed;
  if (s.disabled && s.have_checked) return ButtonImage::kChecked;
  if (s.hover && s.have_hover) return ButtonImage::kHover;
  return ButtonImage::kNormal;
}

ButtonGroup::~ButtonGroup() {
  for (CBmpButton* b : members_) b->group_ = nullptr;
}

void ButtonGroup::Add(CBmpButton* button) {
  if (button->group_ == this) return;
  if (button->group_) button->group_->Remove(button);
  members_.push_back(button);
  button->group_ = this;
}

void ButtonGroup::Remove(CBmpButton* button) {
  members_.erase(std::remove(members_.begin(), members_.end(), button), members_.end());
  if (button->group_ == this) button->group_ = nullptr;
}

CBmpButton::~CBmpButton() {
  if (group_) group_->Remove(this);
  Detach();
}

void CBmpButton::Attach(platform::Control* control) {
  Detach();
  control_ = control;
  if (control_) {
    control_->SetDelegate(this);
    control_->SetFont(font_);
  }
}

void CBmpButton::Detach() {
  if (control_) control_->SetDelegate(nullptr);
  control_ = nullptr;
}

bool CBmpButton::LoadImages(const BitmapSource& source, int normal, int pressed, int hover, int checked,
                            platform::Color key) {
  const int ids[4] = {normal, pressed, hover, checked};
  Slot loaded[4];
  for (int i = 0; i < 4; ++i) {
    if (ids[i] == 0 && i != 0) continue;
    if (!source.Bitmap(ids[i], &loaded[i].raw)) return false;
    loaded[i].present = true;
  }
  for (int i = 0; i < 4; ++i) images_[i] = std::move(loaded[i]);
  key_ = key;
  Reprepare();
  KeyChanged();
  return true;
}

void CBmpButton::SetDrawStyle(int style) {
  draw_style_ = std::clamp(style, 0, 2);
  Reprepare();
  KeyChanged();
}

void CBmpButton::Reprepare() {
  for (Slot& s : images_) {
    if (s.present) s.shown = Prepared(s.raw);
  }
}

platform::Image CBmpButton::Prepared(const platform::Image& raw) const {
  return draw_style_ == 0 ? raw : raw.WithKeyTransparent(key_);
}

void CBmpButton::SetChecked(bool checked) { checked_ = checked; }

void CBmpButton::SetFont(const platform::Font& font) {
  font_ = font;
  if (control_) control_->SetFont(font);
}

void CBmpButton::Repaint() {
  if (control_) control_->Repaint();
}

bool CBmpButton::HasArea() const { return control_ && !control_->Bounds().Empty(); }

ButtonImage CBmpButton::CurrentImage(const platform::ButtonPaintState& state) const {
  return ChooseButtonImage({
      .have_pressed = images_[static_cast<int>(ButtonImage::kPressed)].present,
      .have_hover = images_[static_cast<int>(ButtonImage::kHover)].present,
      .have_checked = images_[static_cast<int>(ButtonImage::kChecked)].present,
      .checked = checked_,
      .pressed = state.pressed,
      .disabled = state.disabled,
      .hover = hover_,
  });
}

void CBmpButton::DrawImageAndText(platform::Canvas& canvas, const platform::Image& image) const {
  const platform::Rect b = control_->Bounds();
  const platform::Rect local{0, 0, b.Width(), b.Height()};
  // The smaller of the button and the image.
  const int w = std::min(local.Width(), image.width());
  const int h = std::min(local.Height(), image.height());
  int x = 0, y = 0;
  if (draw_style_ == 2) {
    x = (local.Width() - w) / 2;
    y = (local.Height() - h) / 2;
  }
  if (w > 0 && h > 0) canvas.DrawImage(image, x, y, w, h);
  const std::string text = control_->Text();
  if (!text.empty()) canvas.DrawTextCentred(text, local, platform::kWhite, font_);
}

void CBmpButton::OnPaint(platform::Canvas& canvas, const platform::ButtonPaintState& state) {
  if (!HasArea()) return;
  const Slot& slot = images_[static_cast<int>(CurrentImage(state))];
  static const platform::Image kNothing;
  DrawImageAndText(canvas, slot.present ? slot.shown : kNothing);
}

void CBmpButton::OnMouseMove(int x, int y, bool over_self) {
  if (!HasArea()) return;
  if (over_self) {
    if (!hover_) {
      hover_ = true;
      Repaint();
    }
    control_->TrackMouseLeave();
  } else if (hover_) {
    hover_ = false;
    Repaint();
  }
}

void CBmpButton::OnMouseLeave() {
  hover_ = false;
  Repaint();
}

void CBmpButton::OnLeftButtonUp(int x, int y) {
  if (!HasArea() || !group_) return;
  const platform::Rect b = control_->Bounds();
  if (!platform::Rect{0, 0, b.Width(), b.Height()}.Contains(x, y)) return;
  for (CBmpButton* other : group_->members()) {
    other->SetChecked(false);
    other->Repaint();
  }
  SetChecked(true);
  Repaint();
}
