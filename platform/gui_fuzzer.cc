// Bitmaps and dialog templates come from a library outside the system: their
// readers must refuse, never overrun, whatever bytes they are given. The first
// byte picks the reader, the rest is its input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/gui.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    platform::DialogTemplate t;
    if (platform::ParseDialogTemplate(bytes, &t)) {
      for (const platform::TemplateControl& c : t.controls) (void)platform::KindOfControl(c);
    }
  } else {
    platform::Image img;
    if (platform::Image::FromDib(bytes, &img)) {
      // A decoded picture is whole: every pixel can be read and cut.
      const std::vector<platform::Rect> region = platform::RegionFromImage(img, platform::kPureGreen);
      for (const platform::Rect& r : region) {
        if (r.Empty() || r.right > img.width() || r.bottom > img.height()) __builtin_trap();
      }
    }
  }
  return 0;
}
