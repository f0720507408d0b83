// Images, regions and dialog templates of the windowing service, and the
// resource library's artwork and template as the window will read them.
#include <map>
#include <string>

#include "gtest/gtest.h"
#include "platform/gui.h"
#include "platform/resources.h"
#include "testing/testing.h"

namespace platform {
namespace {

void Put32(std::string* s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s->push_back(static_cast<char>(v >> (8 * i)));
}
void Put16(std::string* s, uint32_t v) {
  s->push_back(static_cast<char>(v));
  s->push_back(static_cast<char>(v >> 8));
}

std::string DibHeader(int w, int h, int bits, uint32_t colours = 0) {
  std::string d;
  Put32(&d, 40);
  Put32(&d, static_cast<uint32_t>(w));
  Put32(&d, static_cast<uint32_t>(h));
  Put16(&d, 1);
  Put16(&d, static_cast<uint32_t>(bits));
  Put32(&d, 0);
  Put32(&d, 0);
  Put32(&d, 0);
  Put32(&d, 0);
  Put32(&d, colours);
  Put32(&d, 0);
  return d;
}

TEST(ImageTest, DecodesBottomUpAndTopDownRowsWithPadding) {
  // 3 x 2, 24 bits: rows of 9 bytes padded to 12.
  std::string d = DibHeader(3, 2, 24);
  const char bottom[12] = {0, 0, 1, 0, 2, 0, 3, 0, 0, 0, 0, 0};  // BGR: (1,0,0) (0,2,0) (0,0,3)
  const char top[12] = {9, 9, 9, 8, 8, 8, 7, 7, 7, 0, 0, 0};
  d.append(bottom, 12).append(top, 12);
  Image img;
  ASSERT_TRUE(Image::FromDib(d, &img));
  ASSERT_EQ(img.width(), 3);
  ASSERT_EQ(img.height(), 2);
  EXPECT_EQ(img.ColorAt(0, 0), (Color{9, 9, 9}));
  EXPECT_EQ(img.ColorAt(0, 1), (Color{1, 0, 0}));
  EXPECT_EQ(img.ColorAt(2, 1), (Color{0, 0, 3}));
  EXPECT_EQ(img.Pixel(1, 1) >> 24, 0xFFu);

  std::string flipped = DibHeader(3, -2, 24);
  flipped.append(bottom, 12).append(top, 12);
  ASSERT_TRUE(Image::FromDib(flipped, &img));
  EXPECT_EQ(img.ColorAt(0, 0), (Color{1, 0, 0}));

  // 8 bits with a two-colour table; an index past the table shows colour 0.
  std::string pal = DibHeader(2, 1, 8, 2);
  Put32(&pal, 0x00FF0000);  // red
  Put32(&pal, 0x000000FF);  // blue
  pal += std::string("\x01\x07\0\0", 4);
  ASSERT_TRUE(Image::FromDib(pal, &img));
  EXPECT_EQ(img.ColorAt(0, 0), kPureBlue);
  EXPECT_EQ(img.ColorAt(1, 0), (Color{255, 0, 0}));
}

TEST(ImageTest, RefusesBitmapsWhoseSizesDoNotAddUp) {
  Image img;
  std::string ok = DibHeader(3, 2, 24) + std::string(24, '\0');
  ASSERT_TRUE(Image::FromDib(ok, &img));
  EXPECT_FALSE(Image::FromDib(ok.substr(0, ok.size() - 1), &img));  // last row short
  EXPECT_FALSE(Image::FromDib(ok.substr(0, 39), &img));
  EXPECT_FALSE(Image::FromDib(DibHeader(0, 2, 24), &img));
  EXPECT_FALSE(Image::FromDib(DibHeader(100000, 1, 24), &img));
  EXPECT_FALSE(Image::FromDib(DibHeader(3, 2, 16) + std::string(24, '\0'), &img));
  std::string huge_header = ok;
  huge_header[0] = '\x7F';
  huge_header[1] = '\x7F';
  EXPECT_FALSE(Image::FromDib(huge_header, &img));
  // 8 bits with the colour count pointing past the data.
  EXPECT_FALSE(Image::FromDib(DibHeader(2, 1, 8, 200) + std::string(8, '\0'), &img));
  EXPECT_FALSE(Image::FromDib(DibHeader(2, 1, 8, 257) + std::string(257 * 4 + 4, '\0'), &img));
  // 32 bits with colour masks: only the plain layout is taken.
  std::string masked = DibHeader(1, 1, 32);
  masked[16] = 3;
  Put32(&masked, 0x00FF0000);
  Put32(&masked, 0x0000FF00);
  Put32(&masked, 0x000000FF);
  Put32(&masked, 0x00102030);
  ASSERT_TRUE(Image::FromDib(masked, &img));
  EXPECT_EQ(img.ColorAt(0, 0), (Color{0x10, 0x20, 0x30}));
  masked[40] = 1;
  EXPECT_FALSE(Image::FromDib(masked, &img));
  std::string rle = ok;
  rle[16] = 1;
  EXPECT_FALSE(Image::FromDib(rle, &img));
}

TEST(RegionTest, AnImageWithoutKeyPixelsIsItsFullRectangle) {
  Image img(7, 3);
  const std::vector<Rect> region = RegionFromImage(img, kPureGreen);
  ASSERT_EQ(region.size(), 3u);
  for (int y = 0; y < 3; ++y) EXPECT_EQ(region[y], (Rect{0, y, 7, y + 1}));
  EXPECT_TRUE(RegionFromImage(Image(), kPureGreen).empty());
}

TEST(RegionTest, KeyPixelsBecomeHoles) {
  // .##.#   (. = key)
  // .....
  // ##.##
  Image img(5, 3);
  const char* rows[] = {".##.#", ".....", "##.##"};
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x)
      if (rows[y][x] == '.') img.SetPixel(x, y, kPureGreen);
  const std::vector<Rect> region = RegionFromImage(img, kPureGreen);
  const std::vector<Rect> want = {{1, 0, 3, 1}, {4, 0, 5, 1}, {0, 2, 2, 3}, {3, 2, 5, 3}};
  EXPECT_EQ(region, want);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) EXPECT_EQ(RegionContains(region, x, y), rows[y][x] == '#') << x << "," << y;

  const Image cut = img.WithKeyTransparent(kPureGreen);
  EXPECT_EQ(cut.Pixel(0, 0), 0u);
  EXPECT_EQ(cut.Pixel(1, 0) >> 24, 0xFFu);
}

// Dialog template 9 and the bitmaps of the built resource library, read the
// way the window reads them (on Windows as the resource compiler wrote them).
class ResourceLibraryArtTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lib_ = ResourceLibrary::Load(testkit::BuiltLibrary("Quillfen"));
    ASSERT_NE(lib_, nullptr);
  }
  std::unique_ptr<ResourceLibrary> lib_;
};

TEST_F(ResourceLibraryArtTest, DialogNineHoldsTheWindowsControls) {
  std::string bytes;
  ASSERT_TRUE(lib_->LoadRaw(kResourceDialog, 9, &bytes));
  DialogTemplate t;
  ASSERT_TRUE(ParseDialogTemplate(bytes, &t));
  EXPECT_EQ(t.title, "Dovra: Glass Frontier");
  std::map<int, ControlKind> kinds;
  for (const TemplateControl& c : t.controls) kinds[c.id] = KindOfControl(c);
  const std::map<int, ControlKind> want = {
      {1001, ControlKind::kBrowser}, {1010, ControlKind::kButton},   {1011, ControlKind::kButton},
      {1012, ControlKind::kButton},  {1014, ControlKind::kText},     {1015, ControlKind::kText},
      {1016, ControlKind::kText},    {1018, ControlKind::kText},     {1020, ControlKind::kText},
      {1048, ControlKind::kProgress}, {1058, ControlKind::kButton},  {1059, ControlKind::kButton},
      {1070, ControlKind::kButton},  {1071, ControlKind::kButton},   {1072, ControlKind::kButton},
      {1073, ControlKind::kButton}};
  EXPECT_EQ(kinds, want);
  const Rect size = DialogUnitsToPixels(0, 0, t.cx, t.cy);
  EXPECT_NEAR(size.Width(), 880, 4);
  EXPECT_NEAR(size.Height(), 620, 4);

  // Every truncation of the template is refused rather than read past.
  for (size_t n = 0; n < bytes.size(); n += 7) EXPECT_FALSE(ParseDialogTemplate(bytes.substr(0, n), &t)) << n;
}

TEST_F(ResourceLibraryArtTest, EveryBitmapOfTheLayoutsDecodes) {
  const int ids[] = {156, 267, 144, 145, 146, 147, 152, 153, 154, 155, 182, 183, 184, 185, 186, 187, 188,
                     189, 190, 191, 192, 193, 194, 258, 261, 262, 263, 265, 266, 268, 269, 270, 271, 273, 274};
  for (int id : ids) {
    std::string dib;
    Image img;
    ASSERT_TRUE(lib_->LoadRaw(kResourceBitmap, id, &dib)) << id;
    ASSERT_TRUE(Image::FromDib(dib, &img)) << id;
  }
  std::string dib;
  Image bg;
  ASSERT_TRUE(lib_->LoadRaw(kResourceBitmap, 156, &dib));
  ASSERT_TRUE(Image::FromDib(dib, &bg));
  EXPECT_EQ(bg.width(), 880);
  EXPECT_EQ(bg.height(), 620);
  // The corners are cut away, the middle is not.
  EXPECT_EQ(bg.ColorAt(0, 0), kPureGreen);
  EXPECT_NE(bg.ColorAt(440, 310), kPureGreen);
  const std::vector<Rect> shape = RegionFromImage(bg, kPureGreen);
  EXPECT_FALSE(RegionContains(shape, 2, 300));
  EXPECT_TRUE(RegionContains(shape, 440, 310));
  EXPECT_FALSE(lib_->LoadRaw(kResourceBitmap, 9999, &dib));
  EXPECT_EQ(lib_->LoadResourceString(515), "serverlist.ini");
}

}  // namespace
}  // namespace platform
