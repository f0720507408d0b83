// The windowing system: start-up helpers, a skinned top-level window built
// from a dialog template, its child controls, timers, cross-thread messages,
// message boxes and drawing.
//
// Everything that decides what a skin looks like (which pixels of an image are
// cut away, which part of an image is drawn where) lives in the portable part
// (gui.cc) so that it can be checked without a display; the backends only put
// the pixels and text on the screen.
#ifndef PLATFORM_GUI_H_
#define PLATFORM_GUI_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

class ResourceLibrary;

// Registers the common control classes.
void InitCommonControls();

// Starts and stops the graphics library used for decoding and drawing images.
bool GraphicsStartup();
void GraphicsShutdown();

// True when a window system is there to show windows on.
bool DisplayAvailable();

// A modal message box with an OK button. Blocks until dismissed. Where no
// display is available the text goes to standard error instead.
void ShowMessageBox(const std::string& text, const std::string& caption);

// The two private messages of the launcher window. kUiOpMessage is sent: the
// sender waits until the window's thread has handled it. kUiCallMessage is
// posted: the sender goes on at once.
constexpr unsigned kUiOpMessage = 0x0400 + 100;    // WM_USER + 100
constexpr unsigned kUiCallMessage = 0x0400 + 101;  // WM_USER + 101

// Button notifications passed to WindowDelegate::OnCommand.
constexpr int kButtonClicked = 0;        // BN_CLICKED
constexpr int kButtonDoubleClicked = 5;  // BN_DOUBLECLICKED
constexpr int kMenuChosen = 0x100;       // an entry of the context menu

// An entry of a window's context menu.
struct MenuEntry {
  int id;
  std::string text;
};

// Keys passed to WindowDelegate::OnKey.
constexpr int kKeyEnter = 0x0D;
constexpr int kKeyEscape = 0x1B;

struct Color {
  uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Color&, const Color&) = default;
};
constexpr Color kPureBlue{0, 0, 255};
constexpr Color kPureGreen{0, 255, 0};
constexpr Color kWhite{255, 255, 255};

// A rectangle in pixels; right and bottom are exclusive.
struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool Empty() const { return right <= left || bottom <= top; }
  bool Contains(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
  friend bool operator==(const Rect&, const Rect&) = default;
};

// A decoded picture, rows top down, each pixel 0xAARRGGBB with alpha either 0
// (transparent, colour bits zero) or 255.
class Image {
 public:
  Image() = default;
  Image(int width, int height);  // opaque black

  // Reads a device-independent bitmap as a resource library stores it: a
  // BITMAPINFOHEADER (or a larger header), the colour table, then the pixel
  // rows. Uncompressed 1, 4, 8, 24 and 32 bits per pixel, bottom-up or
  // top-down. False for anything else or for sizes that do not add up.
  static bool FromDib(const std::string& dib, Image* out);

  int width() const { return width_; }
  int height() const { return height_; }
  bool empty() const { return width_ == 0 || height_ == 0; }
  // REQUIRES: 0 <= x < width(), 0 <= y < height().
  uint32_t Pixel(int x, int y) const { return pixels_[static_cast<size_t>(y) * width_ + x]; }
  Color ColorAt(int x, int y) const;
  void SetPixel(int x, int y, Color c);
  const std::vector<uint32_t>& pixels() const { return pixels_; }

  // A copy in which every pixel of colour `key` is transparent.
  Image WithKeyTransparent(Color key) const;

 private:
  int width_ = 0, height_ = 0;
  std::vector<uint32_t> pixels_;
};

// The shape of an image without its key-coloured pixels: for every row, top
// down, one one-row rectangle per run of pixels whose colour differs from
// `key`, left to right. An image without key pixels gives one rectangle per
// row covering the whole width.
std::vector<Rect> RegionFromImage(const Image& image, Color key);

// True when (x, y) lies in one of the rectangles.
bool RegionContains(const std::vector<Rect>& region, int x, int y);

struct Font {
  std::string face;
  int height = 0;  // pixels
  int weight = 400;
  friend bool operator==(const Font&, const Font&) = default;
};

// A drawing surface handed to paint handlers. Coordinates are relative to
// what is being painted.
class Canvas {
 public:
  virtual ~Canvas() = default;
  // Puts the top-left `width` x `height` pixels of `image` at (x, y), leaving
  // transparent pixels alone. REQUIRES: width <= image.width(),
  // height <= image.height().
  virtual void DrawImage(const Image& image, int x, int y, int width, int height) = 0;
  // One line of text centred horizontally and vertically in `rect`, on a
  // transparent background.
  virtual void DrawTextCentred(const std::string& text, const Rect& rect, Color color, const Font& font) = 0;
  virtual void FillRect(const Rect& rect, Color color) = 0;
};

// The kinds of child control a dialog template may hold.
enum class ControlKind { kButton, kText, kProgress, kBrowser, kOther };

// Class names of the template's controls that are not predefined.
extern const char kProgressClass[];  // "msctls_progress32"
extern const char kBrowserClass[];   // the web browser host
extern const char kTrackbarClass[];  // "msctls_trackbar32"

// One control of a dialog template, its rectangle in dialog units.
struct TemplateControl {
  int id = 0;
  std::string class_name;  // "Button", "Static", "Edit", ... or a registered class
  std::string text;
  uint32_t style = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
};

struct DialogTemplate {
  uint32_t style = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
  std::string title;
  std::vector<TemplateControl> controls;
};

// Reads an extended dialog template (DLGTEMPLATEEX with its items). False
// when it is truncated or not of that form.
bool ParseDialogTemplate(const std::string& bytes, DialogTemplate* out);

ControlKind KindOfControl(const TemplateControl& control);

// Dialog units to pixels for templates the system does not lay out itself
// (base units of the default dialog font, 6 by 13 pixels).
Rect DialogUnitsToPixels(int x, int y, int cx, int cy);

// Button state at paint time.
struct ButtonPaintState {
  bool pressed = false;
  bool disabled = false;
};

// Receives the events of one owner-drawn button.
class ControlDelegate {
 public:
  virtual ~ControlDelegate() = default;
  virtual void OnPaint(Canvas& canvas, const ButtonPaintState& state) {}
  // The mouse moved to (x, y) in control coordinates; `over_self` tells
  // whether this control is the window under the cursor.
  virtual void OnMouseMove(int x, int y, bool over_self) {}
  // The mouse left the control after TrackMouseLeave.
  virtual void OnMouseLeave() {}
  // The left button was released at (x, y), control coordinates, after the
  // window received the click notification (if any).
  virtual void OnLeftButtonUp(int x, int y) {}
  virtual void OnTimer(int id) {}
  // The control is going away with its window; the delegate must not use it
  // any more.
  virtual void OnControlDestroyed() {}
};

// A child control of a window. Valid while the window exists; used on the
// window's thread only.
class Control {
 public:
  virtual ~Control() = default;
  virtual int Id() const = 0;
  virtual ControlKind Kind() const = 0;
  // Position in client coordinates of the window.
  virtual void Move(const Rect& rect) = 0;
  virtual Rect Bounds() const = 0;
  virtual void Show(bool show) = 0;
  virtual bool IsVisible() const = 0;
  virtual void Enable(bool enable) = 0;
  virtual bool IsEnabled() const = 0;
  virtual void SetText(const std::string& text) = 0;
  virtual std::string Text() const = 0;
  virtual void SetFont(const Font& font) = 0;
  virtual void SetTextColor(Color color) = 0;
  // Invalidates the control and paints it at once.
  virtual void Repaint() = 0;
  // Owner-drawn buttons: the delegate that paints the button and gets its
  // mouse and timer events. Null detaches. REQUIRES: delegate outlives the
  // window or is detached first.
  virtual void SetDelegate(ControlDelegate* delegate) = 0;
  // Ticks go to the delegate's OnTimer.
  virtual void SetTimer(int id, int period_ms) = 0;
  virtual void KillTimer(int id) = 0;
  // Asks for one OnMouseLeave when the mouse leaves the control.
  virtual void TrackMouseLeave() = 0;
  // Progress bars.
  virtual void SetRange(int low, int high) = 0;
  virtual void SetPosition(int position) = 0;
  virtual int Position() const = 0;
  // Web browser hosts: shows `page`, the bytes of an HTML document the
  // caller has fetched, as the document at `base_url` (relative addresses in
  // it resolve against that). The pane is inert: no scripts, plug-ins or
  // downloads, nothing kept on disk (no cache, cookies or stored site data),
  // and it never leaves the page: a click on an http or https link opens
  // that address in the system's browser (OpenInSystemBrowser), every other
  // navigation is refused. An empty `page` blanks the pane. False when the
  // system has no browser control (the pane stays blank).
  virtual bool ShowPage(const std::string& page, const std::string& base_url) = 0;
};

class Window;

// Receives the events of a window, on the window's thread.
class WindowDelegate {
 public:
  virtual ~WindowDelegate() = default;
  // The window and its controls exist and are not shown yet.
  virtual void OnCreate(Window& window) {}
  // Paints the client area's background; false leaves the default fill.
  virtual bool OnEraseBackground(Canvas& canvas) { return false; }
  // Whether a static control of this class has its text drawn over the
  // background instead of on its own fill.
  virtual bool TransparentBackground(const std::string& class_name) { return false; }
  virtual void OnCommand(int control_id, int notification) {}
  virtual void OnTimer(int id) {}
  // Enter, Escape and other keys; true when handled (the default action of
  // Enter and Escape, ending the dialog, never runs).
  virtual bool OnKey(int key) { return true; }
  // The window is asked to close (WM_CLOSE). The window stays unless the
  // delegate ends the dialog.
  virtual void OnClose() {}
  // Messages from Window::Send and Window::Post.
  virtual intptr_t OnMessage(unsigned message, uintptr_t wparam, intptr_t lparam) { return 0; }
  // The window is about to be destroyed; its controls still exist.
  virtual void OnDestroy() {}
};

class Window {
 public:
  virtual ~Window() = default;
  virtual Control* Find(int id) = 0;
  virtual std::vector<Control*> Controls() = 0;
  // Ends the modal run with `code` once the current message is handled.
  virtual void EndModal(int code) = 0;
  // Removes the title bar and frame and keeps a minimise box.
  virtual void RemoveTitleBar() = 0;
  // Cuts the window to the union of the rectangles (client coordinates);
  // an empty list removes the shape.
  virtual void SetShape(const std::vector<Rect>& region) = 0;
  virtual void SetTitle(const std::string& title) = 0;
  virtual std::string Title() const = 0;
  virtual void SetIcon(const Image& icon) = 0;
  // The icon resource `id` of the running program's own file, where the
  // system keeps icons there (Windows); elsewhere nothing happens.
  virtual void SetIconResource(int id) = 0;
  virtual void Minimise() = 0;
  virtual void Show(bool show) = 0;
  virtual bool IsVisible() const = 0;
  // Outer position and size on the screen.
  virtual void Move(const Rect& rect) = 0;
  virtual Rect Bounds() const = 0;
  // Sizes the client area.
  virtual void SetClientSize(int width, int height) = 0;
  virtual void Repaint() = 0;
  // Ticks go to WindowDelegate::OnTimer.
  virtual void SetTimer(int id, int period_ms) = 0;
  virtual void KillTimer(int id) = 0;
  // A message box owned by this window; blocks until dismissed.
  virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
  // Right-clicking the window (a control too) opens a menu of `entries`;
  // the one chosen reaches the delegate's OnCommand(id, kMenuChosen). Empty:
  // no menu, the default.
  virtual void SetContextMenu(const std::vector<MenuEntry>& entries) = 0;
  // A question with Yes and No, owned by this window; blocks until answered.
  // True for Yes (the default button, so Enter answers Yes); No, Escape and
  // closing the box answer no.
  virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;
  // Delivers a message to the delegate's OnMessage on the window's thread.
  // Send waits for the result (from the window's own thread it calls
  // directly); Post returns at once. Posted messages arrive in the order they
  // were posted. Safe from any thread while the window exists.
  virtual intptr_t Send(unsigned message, uintptr_t wparam, intptr_t lparam) = 0;
  virtual void Post(unsigned message, uintptr_t wparam, intptr_t lparam) = 0;
  // The system's handle of the window (an HWND, an X window id).
  virtual uintptr_t NativeHandle() const = 0;
};

// Creates the window from dialog template `template_id` of `resources`, calls
// delegate->OnCreate, shows it and runs it modally on the calling thread until
// EndModal. Returns the code given to EndModal, or -1 when the window could
// not be created (no template, no display).
int RunDialog(const ResourceLibrary& resources, int template_id, WindowDelegate* delegate);

// Whether a browser pane may hand `url` to the system's browser: an address
// whose scheme is http or https (in any case) with something after "//".
bool IsWebLink(const std::string& url);

// `page` with a <base href> of `base_url` in front of its content, for
// browser controls that take a document's bytes without an address: after a
// UTF-8 byte-order mark, blanks and a doctype declaration, if any, so that
// neither loses its meaning. The page unchanged when `base_url` is not a web
// link.
std::string PageWithBase(const std::string& page, const std::string& base_url);

// Opens `url` in the system's browser and does not wait for it. False when
// it is not a web link (IsWebLink) or no browser could be started.
bool OpenInSystemBrowser(const std::string& url);

// The topmost control in `controls` (later ones lie above earlier ones) that
// is visible and whose non-empty rectangle holds (x, y); null when none.
Control* ControlAt(const std::vector<Control*>& controls, int x, int y);

}  // namespace platform

#endif  // PLATFORM_GUI_H_
