// The widgets' drawing and input decisions, with fake controls and a canvas
// that records what it is asked to draw.
#include <map>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "launcher/ui/bmp_button.h"
#include "launcher/ui/flash_bmp_button.h"
#include "launcher/ui/skin_dialog.h"
#include "launcher/ui/web_browser.h"
#include "testing/gui_fakes.h"

namespace {

using platform::Color;
using platform::Image;
using platform::Rect;

using testkit::FakeControl;

struct DrawnImage {
  uint32_t first_pixel;  // identifies the picture
  int x, y, w, h;
  int transparent_pixels;
};

class RecordingCanvas : public platform::Canvas {
 public:
  void DrawImage(const Image& image, int x, int y, int w, int h) override {
    int transparent = 0;
    for (uint32_t p : image.pixels()) transparent += (p >> 24) == 0;
    images.push_back({image.Pixel(0, 0) & 0xFFFFFF, x, y, w, h, transparent});
  }
  void DrawTextCentred(const std::string& text, const Rect& rect, Color color, const platform::Font& font) override {
    texts.push_back(text);
    text_rect = rect;
    text_color = color;
    text_font = font;
  }
  void FillRect(const Rect&, Color) override {}

  std::vector<DrawnImage> images;
  std::vector<std::string> texts;
  Rect text_rect;
  Color text_color;
  platform::Font text_font;
};

// Bitmap n is a 40 x 20 picture of colour n, with a key-coloured (blue and
// green) pixel each in its top-right corner.
class FakeBitmaps : public BitmapSource {
 public:
  bool Bitmap(int id, Image* out) const override {
    if (missing.count(id)) return false;
    Image img(40, 20);
    for (int y = 0; y < 20; ++y)
      for (int x = 0; x < 40; ++x) img.SetPixel(x, y, Color{static_cast<uint8_t>(id), 1, 1});
    img.SetPixel(39, 0, platform::kPureBlue);
    img.SetPixel(38, 0, platform::kPureGreen);
    *out = img;
    return true;
  }
  std::map<int, bool> missing;
};

uint32_t ColourOf(int id) { return (static_cast<uint32_t>(id) << 16) | 0x0101; }

TEST(ChooseButtonImage, FollowsTheOrderAndNeverPicksAMissingImage) {
  // checked > pressed > disabled-with-checked-image > hover > normal.
  const bool T = true;
  EXPECT_EQ(ChooseButtonImage({.have_pressed = T, .have_hover = T, .have_checked = T,  //
                               .checked = T, .pressed = T, .disabled = T, .hover = T}),
            ButtonImage::kChecked);
  EXPECT_EQ(ChooseButtonImage({.have_pressed = T, .have_hover = T, .have_checked = T,  //
                               .checked = T, .disabled = T}),
            ButtonImage::kChecked);
  EXPECT_EQ(ChooseButtonImage({.have_pressed = T, .have_hover = T, .have_checked = T,  //
                               .pressed = T, .disabled = T, .hover = T}),
            ButtonImage::kPressed);
  EXPECT_EQ(ChooseButtonImage({.have_pressed = T, .have_hover = T, .have_checked = T,  //
                               .disabled = T, .hover = T}),
            ButtonImage::kChecked);
  EXPECT_EQ(ChooseButtonImage({.have_pressed = T, .have_hover = T, .disabled = T, .hover = T}), ButtonImage::kHover);
  EXPECT_EQ(ChooseButtonImage({.have_pressed = T, .have_hover = T, .have_checked = T, .hover = T}),
            ButtonImage::kHover);
  EXPECT_EQ(ChooseButtonImage({.have_pressed = T, .have_checked = T, .hover = T}), ButtonImage::kNormal);
  EXPECT_EQ(ChooseButtonImage({.have_hover = T, .have_checked = T, .pressed = T, .hover = T}), ButtonImage::kHover);
  EXPECT_EQ(ChooseButtonImage({.checked = T, .pressed = T, .disabled = T, .hover = T}), ButtonImage::kNormal);
  for (int bits = 0; bits < 128; ++bits) {
    const ButtonImageState s{.have_pressed = (bits & 1) != 0,
                             .have_hover = (bits & 2) != 0,
                             .have_checked = (bits & 4) != 0,
                             .checked = (bits & 8) != 0,
                             .pressed = (bits & 16) != 0,
                             .disabled = (bits & 32) != 0,
                             .hover = (bits & 64) != 0};
    const ButtonImage got = ChooseButtonImage(s);
    EXPECT_TRUE(got == ButtonImage::kNormal || (got == ButtonImage::kPressed && s.have_pressed) ||
                (got == ButtonImage::kHover && s.have_hover) || (got == ButtonImage::kChecked && s.have_checked))
        << bits;
  }
}

class ButtonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    button.Attach(&control);
    ASSERT_TRUE(button.LoadImages(bitmaps, 10, 11, 12, 13, platform::kPureGreen));
  }
  DrawnImage PaintOnce(bool pressed = false, bool disabled = false) {
    RecordingCanvas canvas;
    button.OnPaint(canvas, {pressed, disabled});
    EXPECT_EQ(canvas.images.size(), 1u);
    return canvas.images.empty() ? DrawnImage{} : canvas.images[0];
  }
  FakeBitmaps bitmaps;
  FakeControl control{Rect{100, 50, 130, 80}};
  CBmpButton button;
};

TEST_F(ButtonTest, PaintsTheChosenImageClippedAndCutByTheKeyColour) {
  control.SetText("Go");
  RecordingCanvas canvas;
  button.OnPaint(canvas, {});
  ASSERT_EQ(canvas.images.size(), 1u);
  // A 30 x 30 button and a 40 x 20 image: 30 x 20 drawn at the corner.
  EXPECT_EQ(canvas.images[0].first_pixel, ColourOf(10));
  EXPECT_EQ(canvas.images[0].w, 30);
  EXPECT_EQ(canvas.images[0].h, 20);
  EXPECT_EQ(canvas.images[0].x, 0);
  EXPECT_EQ(canvas.images[0].transparent_pixels, 1);  // green only, not the default blue
  ASSERT_EQ(canvas.texts.size(), 1u);
  EXPECT_EQ(canvas.texts[0], "Go");
  EXPECT_EQ(canvas.text_color, platform::kWhite);
  EXPECT_EQ(canvas.text_rect, (Rect{0, 0, 30, 30}));

  button.SetDrawStyle(0);
  EXPECT_EQ(PaintOnce().transparent_pixels, 0);
  button.SetDrawStyle(7);
  EXPECT_EQ(button.draw_style(), 2);
  EXPECT_EQ(PaintOnce().y, 5);  // centred vertically
  button.SetDrawStyle(-3);
  EXPECT_EQ(button.draw_style(), 0);
}

TEST_F(ButtonTest, CheckedWinsOverPressedAndDisabled) {
  button.SetChecked(true);
  EXPECT_EQ(PaintOnce(true, false).first_pixel, ColourOf(13));
  EXPECT_EQ(PaintOnce(false, true).first_pixel, ColourOf(13));
  button.SetChecked(false);
  EXPECT_EQ(PaintOnce(true, false).first_pixel, ColourOf(11));
  EXPECT_EQ(PaintOnce(false, true).first_pixel, ColourOf(13));
}

TEST_F(ButtonTest, HoverFollowsTheMouseAndAsksForTheLeave) {
  button.OnMouseMove(5, 5, true);
  EXPECT_TRUE(button.IsHover());
  EXPECT_EQ(control.leave_requests, 1);
  EXPECT_EQ(PaintOnce().first_pixel, ColourOf(12));
  const int repaints = control.repaints;
  button.OnMouseMove(6, 6, true);
  EXPECT_EQ(control.repaints, repaints);  // no change, no repaint
  button.OnMouseLeave();
  EXPECT_FALSE(button.IsHover());
  EXPECT_EQ(PaintOnce().first_pixel, ColourOf(10));
  button.OnMouseMove(5, 5, true);
  button.OnMouseMove(50, 5, false);
  EXPECT_FALSE(button.IsHover());

  // Without a hover image the normal image shows under the mouse.
  CBmpButton plain;
  FakeControl c2{Rect{0, 0, 40, 20}};
  plain.Attach(&c2);
  ASSERT_TRUE(plain.LoadImages(bitmaps, 20, 0, 0, 0));
  plain.OnMouseMove(1, 1, true);
  RecordingCanvas canvas;
  plain.OnPaint(canvas, {});
  ASSERT_EQ(canvas.images.size(), 1u);
  EXPECT_EQ(canvas.images[0].first_pixel, ColourOf(20));
}

TEST_F(ButtonTest, LoadImagesFailsForAMissingImageAndKeepsTheOldOnes) {
  bitmaps.missing[12] = true;
  EXPECT_FALSE(button.LoadImages(bitmaps, 30, 31, 12, 33));
  EXPECT_EQ(PaintOnce().first_pixel, ColourOf(10));
  bitmaps.missing[30] = true;
  EXPECT_FALSE(button.LoadImages(bitmaps, 30, 0, 0, 0));
  EXPECT_TRUE(button.LoadImages(bitmaps, 31, 0, 0, 0));
  EXPECT_EQ(PaintOnce().first_pixel, ColourOf(31));
}

TEST(ButtonGroupTest, AClickInsideChecksOnlyTheClickedButton) {
  FakeBitmaps bitmaps;
  FakeControl controls[3] = {FakeControl{Rect{0, 0, 40, 20}}, FakeControl{Rect{0, 30, 40, 50}},
                             FakeControl{Rect{0, 60, 40, 80}}};
  CBmpButton buttons[3];
  ButtonGroup group;
  for (int i = 0; i < 3; ++i) {
    buttons[i].Attach(&controls[i]);
    ASSERT_TRUE(buttons[i].LoadImages(bitmaps, 1, 2, 3, 4));
  }
  group.Add(&buttons[0]);
  group.Add(&buttons[1]);
  buttons[0].SetChecked(true);

  buttons[1].OnLeftButtonUp(45, 5);  // released outside
  EXPECT_TRUE(buttons[0].IsChecked());
  EXPECT_FALSE(buttons[1].IsChecked());

  buttons[1].OnLeftButtonUp(39, 19);
  EXPECT_FALSE(buttons[0].IsChecked());
  EXPECT_TRUE(buttons[1].IsChecked());
  EXPECT_GT(controls[0].repaints, 0);

  buttons[2].OnLeftButtonUp(5, 5);  // not in a group
  EXPECT_FALSE(buttons[2].IsChecked());
  EXPECT_TRUE(buttons[1].IsChecked());
}

TEST(ZeroSizedButton, DrawsNothingAndTakesNoInput) {
  FakeBitmaps bitmaps;
  FakeControl control{Rect{583, 365, 583, 365}};
  CBmpButton button;
  ButtonGroup group;
  button.Attach(&control);
  group.Add(&button);
  ASSERT_TRUE(button.LoadImages(bitmaps, 1, 2, 3, 4));
  RecordingCanvas canvas;
  control.SetText("Server");
  button.OnPaint(canvas, {});
  EXPECT_TRUE(canvas.images.empty());
  EXPECT_TRUE(canvas.texts.empty());
  button.OnMouseMove(0, 0, true);
  EXPECT_FALSE(button.IsHover());
  EXPECT_EQ(control.leave_requests, 0);
  button.OnLeftButtonUp(0, 0);
  EXPECT_FALSE(button.IsChecked());

  // Hit testing passes over it to what lies below.
  FakeControl below{Rect{500, 300, 700, 400}};
  std::vector<platform::Control*> all = {&below, &control};
  EXPECT_EQ(platform::ControlAt(all, 583, 365), &below);
  below.Show(false);
  EXPECT_EQ(platform::ControlAt(all, 583, 365), nullptr);
}

std::vector<int> Frames(FlashCounter c, int steps) {
  std::vector<int> out;
  for (int i = 0; i < steps; ++i) {
    out.push_back(c.Frame());
    c.Advance();
  }
  return out;
}

TEST(FlashCounterTest, RunsBackAndForthOrRoundAndStaysInRange) {
  EXPECT_EQ(Frames(FlashCounter(5, true), 14), (std::vector<int>{0, 1, 2, 3, 4, 3, 2, 1, 0, 1, 2, 3, 4, 3}));
  EXPECT_EQ(Frames(FlashCounter(2, true), 5), (std::vector<int>{0, 1, 0, 1, 0}));
  EXPECT_EQ(Frames(FlashCounter(5, false), 7), (std::vector<int>{0, 1, 2, 3, 4, 0, 1}));
  EXPECT_EQ(Frames(FlashCounter(1, true), 3), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(Frames(FlashCounter(0, true), 3), (std::vector<int>{0, 0, 0}));
  FlashCounter c(5, true);
  for (int i = 0; i < 5; ++i) c.Advance();
  EXPECT_EQ(c.value(), -3);
  c.Reset();
  EXPECT_EQ(c.Frame(), 0);
}

TEST(FlashButtonTest, FramesRunOnTheTimerOnlyWhileEnabledAndUnchecked) {
  FakeBitmaps bitmaps;
  FakeControl control{Rect{0, 0, 214, 93}};
  CFlashBmpButton button;
  button.Attach(&control);
  ASSERT_TRUE(button.SetFrames(bitmaps, {190, 191, 192, 193, 194}));
  ASSERT_TRUE(button.LoadImages(bitmaps, 155, 153, 154, 152, platform::kPureGreen));
  button.Flash(true);
  ASSERT_EQ(control.timers.count(CFlashBmpButton::kFlashTimer), 1u);
  EXPECT_EQ(control.timers[CFlashBmpButton::kFlashTimer], 80);

  std::vector<uint32_t> shown;
  for (int i = 0; i < 6; ++i) {
    RecordingCanvas canvas;
    button.OnPaint(canvas, {});
    ASSERT_EQ(canvas.images.size(), 1u);
    EXPECT_EQ(canvas.images[0].transparent_pixels, 1);  // frames use the button's key colour
    shown.push_back(canvas.images[0].first_pixel);
    const int repaints = control.repaints;
    button.OnTimer(CFlashBmpButton::kFlashTimer);
    EXPECT_EQ(control.repaints, repaints + 1);
  }
  EXPECT_EQ(shown, (std::vector<uint32_t>{ColourOf(190), ColourOf(191), ColourOf(192), ColourOf(193), ColourOf(194),
                                          ColourOf(193)}));

  RecordingCanvas disabled;
  button.OnPaint(disabled, {false, true});
  EXPECT_EQ(disabled.images[0].first_pixel, ColourOf(152));  // the checked image of a disabled button
  button.SetChecked(true);
  RecordingCanvas checked;
  button.OnPaint(checked, {});
  EXPECT_EQ(checked.images[0].first_pixel, ColourOf(152));

  button.Flash(true);  // restarts at the first frame
  button.SetChecked(false);
  EXPECT_EQ(button.CurrentFrame(), 0);
  button.Flash(false);
  EXPECT_EQ(control.timers.count(CFlashBmpButton::kFlashTimer), 0u);
}

TEST(SkinDialogTest, ShapeComesFromTheBackgroundOnlyWhenAskedFor) {
  FakeBitmaps bitmaps;
  SkinDialog dialog(&bitmaps);
  EXPECT_FALSE(dialog.background_loaded());
  bitmaps.missing[156] = true;
  EXPECT_FALSE(dialog.LoadBackground(156));
  EXPECT_TRUE(dialog.LoadBackground(267));
  EXPECT_TRUE(dialog.Shape().empty());
  dialog.ShapeFromImage(true);
  dialog.SetKeyColor(platform::kPureGreen);
  const std::vector<Rect> shape = dialog.Shape();
  ASSERT_EQ(shape.size(), 21u);  // the top row is split by the green pixel
  EXPECT_EQ(shape[0], (Rect{0, 0, 38, 1}));
  EXPECT_EQ(shape[1], (Rect{39, 0, 40, 1}));
  RecordingCanvas canvas;
  EXPECT_TRUE(dialog.OnEraseBackground(canvas));
  ASSERT_EQ(canvas.images.size(), 1u);
  EXPECT_EQ(canvas.images[0].transparent_pixels, 0);  // the cut is the region's job
  EXPECT_TRUE(dialog.TransparentBackground("Static"));
  EXPECT_FALSE(dialog.TransparentBackground("msctls_trackbar32"));
  EXPECT_FALSE(dialog.TransparentBackground("MSCTLS_TRACKBAR32"));
}

TEST(ButtonLifetime, AButtonOutlivingItsControlLetsGoOfIt) {
  FakeBitmaps bitmaps;
  CFlashBmpButton button;
  {
    FakeControl control{Rect{0, 0, 40, 20}};
    button.Attach(&control);
    ASSERT_TRUE(button.SetFrames(bitmaps, {1, 2}));
    button.Flash(true);
  }
  EXPECT_EQ(button.control(), nullptr);
  button.Repaint();
  button.OnMouseMove(1, 1, true);
  button.Flash(false);
  EXPECT_FALSE(button.IsHover());
}

TEST(WebBrowserTest, ShowsPagesThroughItsControl) {
  CWebBrowser2 browser;
  EXPECT_FALSE(browser.ShowPage("<p>x</p>", "http://127.0.0.1/n.html"));
  FakeControl control{Rect{49, 127, 550, 478}};
  browser.Attach(&control);
  EXPECT_TRUE(browser.ShowPage("<p>x</p>", "http://127.0.0.1/n.html"));
  ASSERT_EQ(control.pages.size(), 1u);
  EXPECT_EQ(control.pages[0].bytes, "<p>x</p>");
  EXPECT_EQ(control.pages[0].base_url, "http://127.0.0.1/n.html");
}

}  // namespace
