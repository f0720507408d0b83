// Bitmap-skinned push buttons: four state images cut by a key colour, with
// hover tracking and optional radio-style groups.
#ifndef LAUNCHER_UI_BMP_BUTTON_H_
#define LAUNCHER_UI_BMP_BUTTON_H_

#include <vector>

#include "platform/gui.h"

namespace platform {
class ResourceLibrary;
}

// Where bitmaps come from, by resource number.
class BitmapSource {
 public:
  virtual ~BitmapSource() = default;
  // False when there is no such bitmap or it cannot be decoded.
  virtual bool Bitmap(int id, platform::Image* out) const = 0;
};

// Bitmaps of the resource library.
class ResourceBitmaps : public BitmapSource {
 public:
  // REQUIRES: `resources` outlives this object.
  explicit ResourceBitmaps(const platform::ResourceLibrary* resources) : resources_(resources) {}
  bool Bitmap(int id, platform::Image* out) const override;

 private:
  const platform::ResourceLibrary* resources_;
};

enum class ButtonImage { kNormal, kPressed, kHover, kChecked };

// What a button's image depends on: which optional images it has, and its
// state.
struct ButtonImageState {
  bool have_pressed = false;
  bool have_hover = false;
  bool have_checked = false;
  bool checked = false;
  bool pressed = false;   // drawn pressed
  bool disabled = false;  // drawn disabled
  bool hover = false;
};

// Which of a button's images is drawn, checked in this order: the checked
// image while checked; the pressed image while drawn pressed; the checked
// image while drawn disabled; the hover image while hovered; otherwise the
// normal image. A missing optional image never wins.
ButtonImage ChooseButtonImage(const ButtonImageState& state);

class CBmpButton;

// Buttons of which at most one is checked by clicking.
class ButtonGroup {
 public:
  ButtonGroup() = default;
  ~ButtonGroup();  // the members are left without a group
  ButtonGroup(const ButtonGroup&) = delete;
  ButtonGroup& operator=(const ButtonGroup&) = delete;

  // A button belongs to one group at most; a button that goes away leaves
  // its group by itself.
  void Add(CBmpButton* button);
  void Remove(CBmpButton* button);
  const std::vector<CBmpButton*>& members() const { return members_; }

 private:
  std::vector<CBmpButton*> members_;
};

class CBmpButton : public platform::ControlDelegate {
 public:
  static constexpr platform::Color kDefaultKey = platform::kPureBlue;

  CBmpButton() = default;
  ~CBmpButton() override;
  CBmpButton(const CBmpButton&) = delete;
  CBmpButton& operator=(const CBmpButton&) = delete;

  // Takes over painting and input of `control` (an owner-drawn button) until
  // Detach or until the control goes away with its window.
  void Attach(platform::Control* control);
  void Detach();
  platform::Control* control() const { return control_; }

  // Loads the four images (0 = none for the optional three). False when the
  // normal image, or an optional one that was asked for, cannot be loaded;
  // the images loaded before stay.
  bool LoadImages(const BitmapSource& source, int normal, int pressed, int hover, int checked,
                  platform::Color key = kDefaultKey);

  // 0: images copied as they are; 1: the key colour is transparent; 2: as 1,
  // centred in the button. Other values are clamped into 0 to 2.
  void SetDrawStyle(int style);
  int draw_style() const { return draw_style_; }
  platform::Color key_color() const { return key_; }

  void SetChecked(bool checked);
  bool IsChecked() const { return checked_; }
  bool IsHover() const { return hover_; }
  ButtonGroup* group() const { return group_; }

  // The font of the button's text (white, centred on one line).
  void SetFont(const platform::Font& font);

  void Repaint();

  // The image a paint in `state` would draw.
  ButtonImage CurrentImage(const platform::ButtonPaintState& state) const;

  void OnPaint(platform::Canvas& canvas, const platform::ButtonPaintState& state) override;
  void OnMouseMove(int x, int y, bool over_self) override;
  void OnMouseLeave() override;
  void OnLeftButtonUp(int x, int y) override;
  void OnControlDestroyed() override { control_ = nullptr; }

 protected:
  // Draws `image` (already cut by the key colour when the style asks for it)
  // into the button by the draw style, then the text.
  void DrawImageAndText(platform::Canvas& canvas, const platform::Image& image) const;
  // The image as the draw style shows it.
  platform::Image Prepared(const platform::Image& raw) const;
  bool HasArea() const;
  virtual void KeyChanged() {}

 private:
  friend class ButtonGroup;
  struct Slot {
    bool present = false;
    platform::Image raw, shown;
  };
  void Reprepare();

  platform::Control* control_ = nullptr;
  Slot images_[4];  // indexed by ButtonImage
  platform::Color key_ = kDefaultKey;
  int draw_style_ = 1;
  bool checked_ = false;
  bool hover_ = false;
  ButtonGroup* group_ = nullptr;
  platform::Font font_{"Arial", 12, 400};
};

#endif  // LAUNCHER_UI_BMP_BUTTON_H_
