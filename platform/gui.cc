// The portable part of the windowing service: images, regions, dialog
// templates and hit testing.
#include "platform/gui.h"

#include <cstring>

namespace platform {

const char kProgressClass[] = "msctls_progress32";
const char kBrowserClass[] = "RenewelWebBrowserHost";
const char kTrackbarClass[] = "msctls_trackbar32";

namespace {

constexpr uint32_t kOpaque = 0xFF000000u;

uint32_t Pack(Color c) { return kOpaque | (uint32_t{c.r} << 16) | (uint32_t{c.g} << 8) | c.b; }

uint32_t ReadLe(const unsigned char* p, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// Little-endian reader over a byte string that refuses to run past its end.
class Reader {
 public:
  explicit Reader(const std::string& s) : p_(reinterpret_cast<const unsigned char*>(s.data())), size_(s.size()) {}
  bool U16(uint32_t* v) { return Take(2, v); }
  bool U32(uint32_t* v) { return Take(4, v); }
  bool S16(int* v) {
    uint32_t u;
    if (!Take(2, &u)) return false;
    *v = static_cast<int16_t>(u);
    return true;
  }
  bool Skip(size_t n) {
    if (size_ - pos_ < n) return false;
    pos_ += n;
    return true;
  }
  bool AlignTo4() { return Skip((4 - pos_ % 4) % 4); }
  // A NUL-terminated UTF-16 text, narrowed (characters above 0xFF become '?').
  bool WideText(std::string* out) {
    out->clear();
    for (;;) {
      uint32_t c;
      if (!U16(&c)) return false;
      if (c == 0) return true;
      out->push_back(c < 0x100 ? static_cast<char>(c) : '?');
    }
  }
  // A name or ordinal field: 0 none, 0xFFFF then an ordinal, else a text.
  bool NameOrOrdinal(std::string* name, uint32_t* ordinal) {
    uint32_t first;
    *ordinal = 0;
    name->clear();
    if (size_ - pos_ < 2) return false;
    first = ReadLe(p_ + pos_, 2);
    if (first == 0) return Skip(2);
    if (first == 0xFFFF) return Skip(2) && U16(ordinal);
    return WideText(name);
  }

 private:
  bool Take(int n, uint32_t* v) {
    if (size_ - pos_ < static_cast<size_t>(n)) return false;
    *v = ReadLe(p_ + pos_, n);
    pos_ += n;
    return true;
  }
  const unsigned char* p_;
  size_t size_;
  size_t pos_ = 0;
};

const char* PredefinedClass(uint32_t ordinal) {
  switch (ordinal) {
    case 0x80: return "Button";
    case 0x81: return "Edit";
    case 0x82: return "Static";
    case 0x83: return "ListBox";
    case 0x84: return "ScrollBar";
    case 0x85: return "ComboBox";
    default: return "";
  }
}

bool SameClass(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

Image::Image(int width, int height)
    : width_(width > 0 ? width : 0),
      height_(height > 0 ? height : 0),
      pixels_(static_cast<size_t>(width_) * height_, kOpaque) {}

Color Image::ColorAt(int x, int y) const {
  uint32_t p = Pixel(x, y);
  return Color{static_cast<uint8_t>(p >> 16), static_cast<uint8_t>(p >> 8), static_cast<uint8_t>(p)};
}

void Image::SetPixel(int x, int y, Color c) { pixels_[static_cast<size_t>(y) * width_ + x] = Pack(c); }

Image Image::WithKeyTransparent(Color key) const {
  Image out = *this;
  const uint32_t k = Pack(key);
  for (uint32_t& p : out.pixels_) {
    if (p == k) p = 0;
  }
  return out;
}

bool Image::FromDib(const std::string& dib, Image* out) {
  // Pictures larger than this are not skins; refusing them also keeps the
  // size arithmetic below far from overflow.
  constexpr int64_t kMaxSide = 16384;
  const size_t n = dib.size();
  const auto* p = reinterpret_cast<const unsigned char*>(dib.data());
  if (n < 40) return false;
  const uint32_t header = ReadLe(p, 4);
  if (header < 40 || header > n) return false;
  const int32_t w = static_cast<int32_t>(ReadLe(p + 4, 4));
  const int32_t h_signed = static_cast<int32_t>(ReadLe(p + 8, 4));
  const uint32_t planes = ReadLe(p + 12, 2);
  const uint32_t bits = ReadLe(p + 14, 2);
  const uint32_t compression = ReadLe(p + 16, 4);
  uint32_t colours = ReadLe(p + 32, 4);
  if (planes != 1 || w <= 0 || w > kMaxSide || h_signed == 0 || h_signed < -kMaxSide || h_signed > kMaxSide)
    return false;
  const bool top_down = h_signed < 0;
  const int h = top_down ? -h_signed : h_signed;
  // BI_RGB; BI_BITFIELDS only with the standard 32-bit masks.
  size_t offset = header;
  if (compression == 3) {
    // The masks follow a 40-byte header and lie inside the larger ones.
    if (bits != 32 || n < 52) return false;
    if (ReadLe(p + 40, 4) != 0x00FF0000u || ReadLe(p + 44, 4) != 0x0000FF00u || ReadLe(p + 48, 4) != 0x000000FFu)
      return false;
    if (header == 40) offset += 12;
  } else if (compression != 0) {
    return false;
  }
  if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) return false;
  const unsigned char* palette = p + offset;
  if (bits <= 8) {
    const uint32_t max_colours = 1u << bits;
    if (colours > max_colours) return false;
    if (colours == 0) colours = max_colours;
    if (n - offset < static_cast<size_t>(colours) * 4) return false;
    offset += static_cast<size_t>(colours) * 4;
  } else {
    colours = 0;
  }
  const size_t stride = ((static_cast<size_t>(w) * bits + 31) / 32) * 4;
  if ((n - offset) / stride < static_cast<size_t>(h)) return false;
  Image img(w, h);
  for (int y = 0; y < h; ++y) {
    const unsigned char* row = p + offset + stride * static_cast<size_t>(top_down ? y : h - 1 - y);
    for (int x = 0; x < w; ++x) {
      uint32_t index;
      switch (bits) {
        case 1: index = (row[x >> 3] >> (7 - (x & 7))) & 1; break;
        case 4: index = (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0xF; break;
        case 8: index = row[x]; break;
        case 24: {
          const unsigned char* q = row + 3 * x;
          img.SetPixel(x, y, Color{q[2], q[1], q[0]});
          continue;
        }
        default: {
          const unsigned char* q = row + 4 * x;
          img.SetPixel(x, y, Color{q[2], q[1], q[0]});
          continue;
        }
      }
      if (index >= colours) index = 0;  // out-of-table indices show the first colour
      const unsigned char* q = palette + 4 * index;
      img.SetPixel(x, y, Color{q[2], q[1], q[0]});
    }
  }
  *out = std::move(img);
  return true;
}

std::vector<Rect> RegionFromImage(const Image& image, Color key) {
  std::vector<Rect> region;
  const uint32_t k = Pack(key);
  for (int y = 0; y < image.height(); ++y) {
    int x = 0;
    while (x < image.width()) {
      while (x < image.width() && image.Pixel(x, y) == k) ++x;
      if (x == image.width()) break;
      const int start = x;
      while (x < image.width() && image.Pixel(x, y) != k) ++x;
      region.push_back(Rect{start, y, x, y + 1});
    }
  }
  return region;
}

bool RegionContains(const std::vector<Rect>& region, int x, int y) {
  for (const Rect& r : region) {
    if (r.Contains(x, y)) return true;
  }
  return false;
}

bool ParseDialogTemplate(const std::string& bytes, DialogTemplate* out) {
  constexpr uint32_t kSetFont = 0x40, kShellFont = 0x48;
  Reader r(bytes);
  uint32_t version, signature, help, ex_style, style, count;
  if (!r.U16(&version) || !r.U16(&signature) || version != 1 || signature != 0xFFFF) return false;
  DialogTemplate t;
  if (!r.U32(&help) || !r.U32(&ex_style) || !r.U32(&style) || !r.U16(&count)) return false;
  t.style = style;
  if (!r.S16(&t.x) || !r.S16(&t.y) || !r.S16(&t.cx) || !r.S16(&t.cy)) return false;
  std::string name;
  uint32_t ordinal;
  if (!r.NameOrOrdinal(&name, &ordinal) || !r.NameOrOrdinal(&name, &ordinal)) return false;  // menu, class
  if (!r.WideText(&t.title)) return false;
  if ((style & kSetFont) == kSetFont || (style & kShellFont) == kShellFont) {
    uint32_t points, weight, italic_charset;
    std::string face;
    if (!r.U16(&points) || !r.U16(&weight) || !r.U16(&italic_charset) || !r.WideText(&face)) return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    TemplateControl c;
    uint32_t id, extra;
    if (!r.AlignTo4() || !r.U32(&help) || !r.U32(&ex_style) || !r.U32(&c.style)) return false;
    if (!r.S16(&c.x) || !r.S16(&c.y) || !r.S16(&c.cx) || !r.S16(&c.cy) || !r.U32(&id)) return false;
    c.id = static_cast<int>(id);
    if (!r.NameOrOrdinal(&c.class_name, &ordinal)) return false;
    if (ordinal != 0) c.class_name = PredefinedClass(ordinal);
    if (!r.NameOrOrdinal(&c.text, &ordinal) || !r.U16(&extra) || !r.Skip(extra)) return false;
    t.controls.push_back(std::move(c));
  }
  *out = std::move(t);
  return true;
}

ControlKind KindOfControl(const TemplateControl& control) {
  if (SameClass(control.class_name, "Button")) return ControlKind::kButton;
  if (SameClass(control.class_name, "Static")) return ControlKind::kText;
  if (SameClass(control.class_name, kProgressClass)) return ControlKind::kProgress;
  if (SameClass(control.class_name, kBrowserClass)) return ControlKind::kBrowser;
  return ControlKind::kOther;
}

Rect DialogUnitsToPixels(int x, int y, int cx, int cy) {
  auto px = [](int v) { return v * 6 / 4; };
  auto py = [](int v) { return v * 13 / 8; };
  return Rect{px(x), py(y), px(x + cx), py(y + cy)};
}

bool IsWebLink(const std::string& url) {
  size_t colon = url.find(':');
  if (colon == std::string::npos) return false;
  std::string scheme = url.substr(0, colon);
  for (char& ch : scheme) ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
  if (scheme != "http" && scheme != "https") return false;
  if (url.compare(colon, 3, "://") != 0 || url.size() <= colon + 3) return false;
  // The address goes to another program whole: no blanks, control
  // characters or quotes that could split it there.
  for (unsigned char ch : url) {
    if (ch <= 0x20 || ch == 0x7f || ch == '"') return false;
  }
  return true;
}

std::string PageWithBase(const std::string& page, const std::string& base_url) {
  if (!IsWebLink(base_url)) return page;
  std::string href;
  for (char ch : base_url) href += ch == '&' ? std::string("&amp;") : std::string(1, ch);
  size_t at = page.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (at < page.size() && (page[at] == ' ' || page[at] == '\t' || page[at] == '\r' || page[at] == '\n')) ++at;
  static const char kDoctype[] = "<!doctype";
  bool doctype = page.size() - at >= sizeof kDoctype - 1;
  for (size_t i = 0; doctype && i + 1 < sizeof kDoctype; ++i) {
    char ch = page[at + i];
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    doctype = ch == kDoctype[i];
  }
  if (doctype) {
    const size_t end = page.find('>', at);
    at = end == std::string::npos ? page.size() : end + 1;
  }
  return page.substr(0, at) + "<base href=\"" + href + "\">" + page.substr(at);
}

Control* ControlAt(const std::vector<Control*>& controls, int x, int y) {
  for (auto it = controls.rbegin(); it != controls.rend(); ++it) {
    Control* c = *it;
    if (!c->IsVisible()) continue;
    const Rect b = c->Bounds();
    if (!b.Empty() && b.Contains(x, y)) return c;
  }
  return nullptr;
}

}  // namespace platform
