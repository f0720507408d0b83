// The base of skinned windows: a background bitmap painted instead of the
// default fill, and optionally the window's shape cut out of it by a key
// colour.
#ifndef LAUNCHER_UI_SKIN_DIALOG_H_
#define LAUNCHER_UI_SKIN_DIALOG_H_

#include <string>
#include <vector>

#include "launcher/ui/bmp_button.h"
#include "platform/gui.h"

class SkinDialog : public platform::WindowDelegate {
 public:
  // REQUIRES: `bitmaps` outlives this object.
  explicit SkinDialog(const BitmapSource* bitmaps) : bitmaps_(bitmaps) {}

  // Loads the background. False when the bitmap is missing; the previous
  // background stays. Once the window exists its client area takes the
  // image's size and, with shaping on, its shape.
  bool LoadBackground(int bitmap_id);
  void SetKeyColor(platform::Color key);
  void ShapeFromImage(bool on);

  bool background_loaded() const { return loaded_; }
  const platform::Image& background() const { return background_; }
  platform::Color key_color() const { return key_; }
  // The region the window is cut to: empty while shaping is off or no
  // background is loaded.
  std::vector<platform::Rect> Shape() const;

  platform::Window* window() const { return window_; }
  const BitmapSource* bitmaps() const { return bitmaps_; }

  // Derived classes that handle these call the base first.
  void OnCreate(platform::Window& window) override;
  void OnDestroy() override;
  bool OnEraseBackground(platform::Canvas& canvas) override;
  // Static texts are drawn over the background; trackbars keep their fill.
  bool TransparentBackground(const std::string& class_name) override;

 private:
  void Apply();

  const BitmapSource* bitmaps_;
  platform::Window* window_ = nullptr;
  platform::Image background_;
  bool loaded_ = false;
  platform::Color key_ = platform::kPureGreen;
  bool shaped_ = false;
};

#endif  // LAUNCHER_UI_SKIN_DIALOG_H_
