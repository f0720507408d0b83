// Draws the resource library's artwork and writes it out for both builds of
// the library:
//   bmp<id>.bmp         bitmap files for the resource compiler
//   quillfen_art.rc     BITMAP statements and dialog 9 for the resource compiler
//   quillfen_res.bin    the same resources as records for the shared object:
//                       {u32 type, u32 id, u32 size, bytes, padding to 4}...,
//                       ended by a record of type 0.
// Usage: artgen <output directory>
//
// Everything is drawn from code: gradients, rounded plates and a small block
// font, so the library holds no artwork from anywhere else.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "testing/resources/dialog9.h"

namespace {

struct Rgb {
  int r, g, b;
};
constexpr Rgb kGreen{0, 255, 0};

Rgb Mix(Rgb a, Rgb b, double t) {
  if (t < 0) t = 0;
  if (t > 1) t = 1;
  return Rgb{static_cast<int>(a.r + (b.r - a.r) * t), static_cast<int>(a.g + (b.g - a.g) * t),
             static_cast<int>(a.b + (b.b - a.b) * t)};
}

Rgb Scale(Rgb a, double f) {
  auto c = [f](int v) {
    int x = static_cast<int>(v * f);
    return x < 0 ? 0 : (x > 255 ? 255 : x);
  };
  return Rgb{c(a.r), c(a.g), c(a.b)};
}

// Never pure green inside the artwork, so that only the intended pixels are cut.
Rgb Safe(Rgb c) {
  if (c.r == 0 && c.g == 255 && c.b == 0) c.r = 1;
  return c;
}

class Picture {
 public:
  Picture(int w, int h, Rgb fill) : w_(w), h_(h), px_(static_cast<size_t>(w) * h, fill) {}
  int w() const { return w_; }
  int h() const { return h_; }
  void Set(int x, int y, Rgb c) {
    if (x >= 0 && y >= 0 && x < w_ && y < h_) px_[static_cast<size_t>(y) * w_ + x] = c;
  }
  Rgb Get(int x, int y) const { return px_[static_cast<size_t>(y) * w_ + x]; }
  void Fill(int x0, int y0, int x1, int y1, Rgb c) {
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) Set(x, y, c);
  }

  // A plate with rounded corners and a vertical gradient; outside the corners
  // the key colour stays.
  void Plate(int x0, int y0, int x1, int y1, int radius, Rgb top, Rgb bottom, Rgb edge) {
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) {
        const int dx = x < x0 + radius ? x0 + radius - x : (x >= x1 - radius ? x - (x1 - radius - 1) : 0);
        const int dy = y < y0 + radius ? y0 + radius - y : (y >= y1 - radius ? y - (y1 - radius - 1) : 0);
        const double d = std::sqrt(static_cast<double>(dx * dx + dy * dy));
        if (d > radius) continue;
        const bool rim = d > radius - 2 || x < x0 + 2 || y < y0 + 2 || x >= x1 - 2 || y >= y1 - 2;
        Set(x, y, Safe(rim ? edge : Mix(top, bottom, static_cast<double>(y - y0) / (y1 - y0))));
      }
    }
  }

  // The BMP file's pixel rows: 24 bits, bottom up.
  std::string Dib() const {
    const int stride = (w_ * 3 + 3) & ~3;
    std::string out;
    auto u32 = [&out](uint32_t v) {
      for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
    };
    auto u16 = [&out](uint32_t v) {
      out.push_back(static_cast<char>(v));
      out.push_back(static_cast<char>(v >> 8));
    };
    u32(40);
    u32(w_);
    u32(h_);
    u16(1);
    u16(24);
    u32(0);
    u32(stride * h_);
    u32(2835);
    u32(2835);
    u32(0);
    u32(0);
    for (int y = h_ - 1; y >= 0; --y) {
      for (int x = 0; x < w_; ++x) {
        const Rgb c = Get(x, y);
        out.push_back(static_cast<char>(c.b));
        out.push_back(static_cast<char>(c.g));
        out.push_back(static_cast<char>(c.r));
      }
      for (int i = w_ * 3; i < stride; ++i) out.push_back(0);
    }
    return out;
  }

 private:
  int w_, h_;
  std::vector<Rgb> px_;
};

// A 5 x 7 block font for the letters the artwork uses.
const std::map<char, std::vector<const char*>>& Glyphs() {
  static const std::map<char, std::vector<const char*>> g = {
      {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
      {'C', {".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."}},
      {'D', {"####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."}},
      {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
      {'F', {"#####", "#....", "#....", "####.", "#....", "#....", "#...."}},
      {'G', {".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".###."}},
      {'I', {".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."}},
      {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
      {'M', {"#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"}},
      {'N', {"#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#", "#...#"}},
      {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
      {'P', {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
      {'R', {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},
      {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
      {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
      {'U', {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
      {'V', {"#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},
      {'X', {"#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"}},
      {'1', {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."}},
      {'2', {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
      {'3', {"####.", "....#", "....#", ".###.", "....#", "....#", "####."}},
      {'_', {".....", ".....", ".....", ".....", ".....", ".....", "#####"}},
      {':', {".....", "..#..", ".....", ".....", ".....", "..#..", "....."}},
  };
  return g;
}

int TextWidth(const std::string& text, int scale) { return static_cast<int>(text.size()) * 6 * scale - scale; }

void Text(Picture& p, const std::string& text, int x, int y, int scale, Rgb colour) {
  for (char ch : text) {
    auto it = Glyphs().find(ch);
    if (it != Glyphs().end()) {
      for (int row = 0; row < 7; ++row)
        for (int col = 0; col < 5; ++col)
          if (it->second[row][col] == '#') p.Fill(x + col * scale, y + row * scale, x + (col + 1) * scale, y + (row + 1) * scale, Safe(colour));
    }
    x += 6 * scale;
  }
}

void CentredText(Picture& p, const std::string& text, int scale, Rgb colour) {
  Text(p, text, (p.w() - TextWidth(text, scale)) / 2, (p.h() - 7 * scale) / 2, scale, colour);
}

// The window background: a rounded frame on the key colour, a dark field, a
// title band and recessed panes where the browser and the status sit.
Picture Background(bool update_layout) {
  Picture p(880, 620, kGreen);
  p.Plate(6, 6, 874, 614, 28, Rgb{26, 38, 70}, Rgb{10, 14, 30}, Rgb{150, 170, 210});
  p.Plate(20, 14, 740, 52, 10, Rgb{54, 80, 140}, Rgb{30, 44, 90}, Rgb{110, 140, 200});
  Text(p, "DOVRA: GLASS FRONTIER", 36, 22, 3, Rgb{235, 225, 180});
  p.Plate(40, 118, 560, 488, 8, Rgb{6, 8, 16}, Rgb{12, 16, 30}, Rgb{90, 110, 160});
  p.Plate(600, 60, 860, 88, 6, Rgb{40, 56, 100}, Rgb{24, 34, 66}, Rgb{90, 110, 160});
  if (update_layout) {
    p.Plate(50, 500, 500, 604, 10, Rgb{20, 28, 54}, Rgb{14, 20, 40}, Rgb{90, 110, 160});
    p.Plate(56, 553, 492, 578, 4, Rgb{6, 8, 16}, Rgb{6, 8, 16}, Rgb{70, 90, 130});
    Text(p, "SERVER:", 70, 514, 2, Rgb{200, 210, 230});
  } else {
    p.Plate(570, 340, 860, 500, 10, Rgb{20, 28, 54}, Rgb{14, 20, 40}, Rgb{90, 110, 160});
  }
  // A starfield, seeded so every build draws the same one.
  uint32_t seed = 12345;
  for (int i = 0; i < 400; ++i) {
    seed = seed * 1103515245u + 12345u;
    const int x = 580 + static_cast<int>((seed >> 8) % 280);
    seed = seed * 1103515245u + 12345u;
    const int y = 100 + static_cast<int>((seed >> 8) % 230);
    p.Set(x, y, Rgb{200, 210, 255});
  }
  return p;
}

enum State { kNormal, kPressed, kHover, kChecked };

// A button plate in one of its four states.
Picture Button(int w, int h, const std::string& label, Rgb base, State s, int scale) {
  Picture p(w, h, kGreen);
  Rgb top = Scale(base, 1.25), bottom = Scale(base, 0.7), edge = Scale(base, 1.6), ink{255, 255, 240};
  switch (s) {
    case kNormal: break;
    case kPressed: top = Scale(base, 0.6); bottom = Scale(base, 0.9); edge = Scale(base, 1.2); break;
    case kHover: top = Scale(base, 1.7); bottom = Scale(base, 1.0); edge = Rgb{255, 255, 255}; break;
    case kChecked:
      top = Rgb{110, 110, 118}; bottom = Rgb{70, 70, 76}; edge = Rgb{150, 150, 156}; ink = Rgb{180, 180, 180};
      break;
  }
  p.Plate(0, 0, w, h, h / 4, top, bottom, edge);
  if (!label.empty()) CentredText(p, label, scale, ink);
  return p;
}

// Frame `i` of the glowing start button: the plate brightens towards frame 4.
Picture GlowFrame(int i) {
  const double glow = i / 4.0;
  Picture p = Button(214, 93, "", Rgb{150, 96, 20}, kNormal, 1);
  for (int y = 0; y < p.h(); ++y)
    for (int x = 0; x < p.w(); ++x) {
      Rgb c = p.Get(x, y);
      if (c.r == 0 && c.g == 255 && c.b == 0) continue;
      p.Set(x, y, Safe(Mix(c, Rgb{255, 220, 120}, glow * 0.45)));
    }
  CentredText(p, "START", 5, Mix(Rgb{255, 250, 230}, Rgb{255, 255, 255}, glow));
  return p;
}

struct Resource {
  int type;
  int id;
  std::string bytes;
};

std::string Utf16(const std::string& s) {
  std::string out;
  for (char c : s) {
    out.push_back(c);
    out.push_back(0);
  }
  out.append(2, '\0');
  return out;
}

// The extended dialog template, laid out as the resource compiler lays out
// the DIALOGEX statement written into the script.
std::string DialogTemplateBytes() {
  std::string t;
  auto u16 = [&t](uint32_t v) {
    t.push_back(static_cast<char>(v));
    t.push_back(static_cast<char>(v >> 8));
  };
  auto u32 = [&](uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  };
  auto align = [&t] {
    while (t.size() % 4) t.push_back(0);
  };
  int count = 0;
#define COUNT_CONTROL(id, cls, text, style, x, y, cx, cy) ++count;
  QUILLFEN_DIALOG_CONTROLS(COUNT_CONTROL)
#undef COUNT_CONTROL
  const int size[] = {QUILLFEN_DIALOG_SIZE};
  u16(1);
  u16(0xFFFF);
  u32(0);
  u32(0);
  u32(QUILLFEN_DIALOG_STYLE);
  u16(count);
  u16(0);
  u16(0);
  u16(size[0]);
  u16(size[1]);
  u16(0);  // no menu
  u16(0);  // default class
  t += Utf16(QUILLFEN_DIALOG_TITLE);
  u16(8);    // points
  u16(0);    // weight
  t.push_back(0);  // italic
  t.push_back(1);  // charset
  t += Utf16("MS Shell Dlg");
  auto control = [&](int id, const std::string& cls, const std::string& text, uint32_t style, int x, int y, int cx,
                     int cy) {
    align();
    u32(0);
    u32(0);
    u32(style);
    u16(x);
    u16(y);
    u16(cx);
    u16(cy);
    u32(id);
    if (cls == "Button") {
      u16(0xFFFF);
      u16(0x80);
    } else if (cls == "Static") {
      u16(0xFFFF);
      u16(0x82);
    } else {
      t += Utf16(cls);
    }
    t += Utf16(text);
    u16(0);
  };
#define EMIT_CONTROL(id, cls, text, style, x, y, cx, cy) control(id, cls, text, style, x, y, cx, cy);
  QUILLFEN_DIALOG_CONTROLS(EMIT_CONTROL)
#undef EMIT_CONTROL
  return t;
}

std::string DialogScript() {
  char line[512];
  const int size[] = {QUILLFEN_DIALOG_SIZE};
  std::string rc;
  std::snprintf(line, sizeof line, "%d DIALOGEX 0, 0, %d, %d\nSTYLE 0x%08X\nCAPTION \"%s\"\nFONT 8, \"MS Shell Dlg\", 0, 0, 1\nBEGIN\n",
                QUILLFEN_DIALOG_ID, size[0], size[1], QUILLFEN_DIALOG_STYLE, QUILLFEN_DIALOG_TITLE);
  rc += line;
#define RC_CONTROL(id, cls, text, style, x, y, cx, cy)                                                         \
  std::snprintf(line, sizeof line, "  CONTROL \"%s\", %d, \"%s\", 0x%08X, %d, %d, %d, %d\n", text, id, cls, style, x, \
                y, cx, cy);                                                                                    \
  rc += line;
  QUILLFEN_DIALOG_CONTROLS(RC_CONTROL)
#undef RC_CONTROL
  rc += "END\n";
  return rc;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: artgen <output directory>\n");
    return 2;
  }
  const std::string dir = std::string(argv[1]) + "/";
  std::vector<std::pair<int, Picture>> bitmaps;
  bitmaps.emplace_back(156, Background(false));
  bitmaps.emplace_back(267, Background(true));
  // Four states of a button: ids in the order normal, pressed, hover, checked.
  auto four = [&](const int (&ids)[4], int w, int h, const std::string& label, Rgb base, int scale) {
    for (int s = 0; s < 4; ++s) bitmaps.emplace_back(ids[s], Button(w, h, label, base, static_cast<State>(s), scale));
  };
  four({144, 146, 147, 145}, 51, 26, "X", Rgb{150, 40, 40}, 2);
  four({182, 184, 185, 183}, 51, 26, "_", Rgb{50, 80, 150}, 2);
  four({155, 153, 154, 152}, 214, 93, "START", Rgb{150, 96, 20}, 5);
  four({268, 270, 269, 271}, 214, 93, "UPDATING", Rgb{60, 70, 110}, 3);
  four({258, 265, 266, 274}, 110, 24, "TELECOM", Rgb{40, 110, 90}, 2);
  four({263, 261, 262, 273}, 110, 24, "CNC", Rgb{40, 90, 130}, 2);
  four({186, 188, 189, 187}, 110, 24, "SERVER 3", Rgb{70, 70, 120}, 2);
  for (int i = 0; i < 5; ++i) bitmaps.emplace_back(190 + i, GlowFrame(i));

  std::string rc = "// Written by artgen; do not edit.\n";
  std::string blob;
  auto record = [&blob](int type, int id, const std::string& bytes) {
    for (uint32_t v : {static_cast<uint32_t>(type), static_cast<uint32_t>(id), static_cast<uint32_t>(bytes.size())})
      for (int i = 0; i < 4; ++i) blob.push_back(static_cast<char>(v >> (8 * i)));
    blob += bytes;
    while (blob.size() % 4) blob.push_back(0);
  };
  for (const auto& [id, pic] : bitmaps) {
    const std::string dib = pic.Dib();
    std::string file = "BM";
    const uint32_t file_size = static_cast<uint32_t>(14 + dib.size());
    for (uint32_t v : {file_size, 0u, 54u})
      for (int i = 0; i < 4; ++i) file.push_back(static_cast<char>(v >> (8 * i)));
    file += dib;
    const std::string name = "bmp" + std::to_string(id) + ".bmp";
    if (!WriteFile(dir + name, file)) {
      std::fprintf(stderr, "artgen: cannot write %s\n", (dir + name).c_str());
      return 1;
    }
    rc += std::to_string(id) + " BITMAP \"" + dir + name + "\"\n";
    record(2, id, dib);
  }
  rc += DialogScript();
  record(5, QUILLFEN_DIALOG_ID, DialogTemplateBytes());
  record(0, 0, std::string());
  if (!WriteFile(dir + "quillfen_art.rc", rc) || !WriteFile(dir + "quillfen_res.bin", blob)) {
    std::fprintf(stderr, "artgen: cannot write the outputs in %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
