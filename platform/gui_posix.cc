// The windowing service on GTK 3. The window is one drawing area that paints
// the background and every control itself and routes the mouse to the
// control under it; only the web browser is a widget of its own, loaded from
// WebKitGTK at run time so that programs without a browser pane do not pull
// it in.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>

#include "platform/gui.h"
#include "platform/resources.h"

namespace platform {
namespace {

bool GtkReady() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] { ready = gtk_init_check(nullptr, nullptr); });
  return ready;
}

// The bits of WebKitGTK the browser host uses, looked up by name; the
// library's objects are opaque here.
struct WebKit {
  void* (*new_ephemeral_context)() = nullptr;
  GtkWidget* (*new_view_with_context)(void* context) = nullptr;
  void (*set_cache_model)(void* context, int model) = nullptr;
  void* (*get_settings)(void* view) = nullptr;
  void (*load_bytes)(void* view, GBytes* bytes, const char* mime, const char* encoding, const char* base) = nullptr;
  void* (*navigation_action_of)(void* decision) = nullptr;
  int (*navigation_type)(void* action) = nullptr;
  gboolean (*user_gesture)(void* action) = nullptr;
  void* (*request_of)(void* action) = nullptr;
  const char* (*uri_of)(void* request) = nullptr;
  void (*use)(void* decision) = nullptr;
  void (*ignore)(void* decision) = nullptr;
  void (*cancel_download)(void* download) = nullptr;
};

// Enumerations of the library, by value.
constexpr int kCacheModelDocumentViewer = 0;  // WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER
constexpr int kDecideNavigation = 0;          // WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION
constexpr int kDecideNewWindow = 1;           // WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION
constexpr int kLinkClicked = 0;               // WEBKIT_NAVIGATION_TYPE_LINK_CLICKED
constexpr int kLoadCommitted = 2;             // WEBKIT_LOAD_COMMITTED

const WebKit* LoadWebKit() {
  static std::once_flag once;
  static WebKit kit;
  static bool ok = false;
  std::call_once(once, [] {
    void* lib = dlopen("libwebkit2gtk-4.1.so.0", RTLD_NOW | RTLD_GLOBAL);
    if (!lib) return;
    auto get = [lib](auto* slot, const char* name) {
      *slot = reinterpret_cast<std::remove_reference_t<decltype(*slot)>>(dlsym(lib, name));
      return *slot != nullptr;
    };
    ok = get(&kit.new_ephemeral_context, "webkit_web_context_new_ephemeral") &&
         get(&kit.new_view_with_context, "webkit_web_view_new_with_context") &&
         get(&kit.set_cache_model, "webkit_web_context_set_cache_model") &&
         get(&kit.get_settings, "webkit_web_view_get_settings") &&
         get(&kit.load_bytes, "webkit_web_view_load_bytes") &&
         get(&kit.navigation_action_of, "webkit_navigation_policy_decision_get_navigation_action") &&
         get(&kit.navigation_type, "webkit_navigation_action_get_navigation_type") &&
         get(&kit.user_gesture, "webkit_navigation_action_is_user_gesture") &&
         get(&kit.request_of, "webkit_navigation_action_get_request") &&
         get(&kit.uri_of, "webkit_uri_request_get_uri") && get(&kit.use, "webkit_policy_decision_use") &&
         get(&kit.ignore, "webkit_policy_decision_ignore") && get(&kit.cancel_download, "webkit_download_cancel");
  });
  return ok ? &kit : nullptr;
}

// Turns off a boolean setting of the view when this version of the library
// has it (some are gone from newer ones, where they are off for good).
void SettingOff(void* settings, const char* name) {
  GObject* object = G_OBJECT(settings);
  if (g_object_class_find_property(G_OBJECT_GET_CLASS(object), name)) g_object_set(object, name, FALSE, nullptr);
}

// The address without its fragment.
std::string WithoutFragment(const std::string& url) { return url.substr(0, url.find('#')); }

// A web view that shows only the pages it is given and never navigates:
// scripts, plug-ins and stored data off, in a context that keeps nothing on
// disk, downloads cancelled, every navigation refused but its own loads and
// a jump within the page; a link clicked to an http or https address goes
// to the system's browser.
class InertPane {
 public:
  InertPane(const WebKit& kit, GtkWidget* fixed, const Rect& rect) : kit_(kit) {
    context_ = kit.new_ephemeral_context();
    kit.set_cache_model(context_, kCacheModelDocumentViewer);
    view_ = kit.new_view_with_context(context_);
    void* settings = kit.get_settings(view_);
    for (const char* name :
         {"enable-javascript", "enable-javascript-markup", "enable-plugins", "enable-java", "enable-webgl",
          "enable-webaudio", "enable-media-stream", "enable-html5-local-storage", "enable-html5-database",
          "enable-offline-web-application-cache", "enable-page-cache", "enable-dns-prefetching",
          "enable-hyperlink-auditing", "enable-developer-extras", "enable-fullscreen",
          "javascript-can-open-windows-automatically", "javascript-can-access-clipboard", "allow-modal-dialogs",
          "enable-back-forward-navigation-gestures", "enable-media"})
      SettingOff(settings, name);
    g_signal_connect(view_, "decide-policy", G_CALLBACK(&InertPane::DecidePolicy), this);
    g_signal_connect(view_, "load-changed", G_CALLBACK(&InertPane::LoadChanged), this);
    g_signal_connect(view_, "context-menu", G_CALLBACK(&InertPane::NoContextMenu), this);
    g_signal_connect(context_, "download-started", G_CALLBACK(&InertPane::DownloadStarted), this);
    gtk_fixed_put(GTK_FIXED(fixed), view_, rect.left, rect.top);
  }
  ~InertPane() {
    // The view goes with its window, later; it must not call back here.
    g_signal_handlers_disconnect_by_data(view_, this);
    g_signal_handlers_disconnect_by_data(context_, this);
    g_object_unref(context_);
  }
  InertPane(const InertPane&) = delete;
  InertPane& operator=(const InertPane&) = delete;

  GtkWidget* view() const { return view_; }

  void Load(const std::string& page, const std::string& base_url) {
    base_ = page.empty() ? std::string("about:blank") : base_url;
    own_load_ = true;
    GBytes* bytes = g_bytes_new(page.data(), page.size());
    kit_.load_bytes(view_, bytes, "text/html", nullptr, base_.c_str());
    g_bytes_unref(bytes);
  }

 private:
  static gboolean DecidePolicy(GtkWidget*, void* decision, int type, gpointer data) {
    auto* self = static_cast<InertPane*>(data);
    const WebKit& kit = self->kit_;
    if (type != kDecideNavigation && type != kDecideNewWindow) {
      // Responses: only those of the pane's own loads come this far.
      return FALSE;
    }
    void* action = kit.navigation_action_of(decision);
    const char* uri_text = action ? kit.uri_of(kit.request_of(action)) : nullptr;
    const std::string uri = uri_text ? uri_text : "";
    const int how = action ? kit.navigation_type(action) : -1;
    if (type == kDecideNavigation && self->own_load_ && uri == self->base_) {
      kit.use(decision);
      return TRUE;
    }
    if (type == kDecideNavigation && how == kLinkClicked && WithoutFragment(uri) == WithoutFragment(self->base_) &&
        uri.find('#') != std::string::npos) {
      kit.use(decision);  // a jump within the page
      return TRUE;
    }
    if (how == kLinkClicked && kit.user_gesture(action) && IsWebLink(uri)) OpenInSystemBrowser(uri);
    kit.ignore(decision);
    return TRUE;
  }
  static void LoadChanged(GtkWidget*, int event, gpointer data) {
    if (event == kLoadCommitted) static_cast<InertPane*>(data)->own_load_ = false;
  }
  static gboolean NoContextMenu(GtkWidget*, void*, GdkEvent*, void*, gpointer) { return TRUE; }
  static void DownloadStarted(void*, void* download, gpointer data) {
    static_cast<InertPane*>(data)->kit_.cancel_download(download);
  }

  const WebKit& kit_;
  void* context_ = nullptr;
  GtkWidget* view_ = nullptr;
  std::string base_;
  bool own_load_ = false;  // a load of ours is on its way and may navigate
};

void SetSource(cairo_t* cr, Color c) { cairo_set_source_rgb(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0); }

class CairoCanvas : public Canvas {
 public:
  explicit CairoCanvas(cairo_t* cr) : cr_(cr) {}
  void DrawImage(const Image& image, int x, int y, int width, int height) override {
    if (image.empty() || width <= 0 || height <= 0) return;
    // Transparent pixels carry zero colour bits, so the pixels are already
    // premultiplied as cairo wants them.
    cairo_surface_t* s = cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char*>(const_cast<uint32_t*>(image.pixels().data())), CAIRO_FORMAT_ARGB32,
        image.width(), image.height(), image.width() * 4);
    cairo_save(cr_);
    cairo_set_source_surface(cr_, s, x, y);
    cairo_rectangle(cr_, x, y, width, height);
    cairo_fill(cr_);
    cairo_restore(cr_);
    cairo_surface_destroy(s);
  }
  void DrawTextCentred(const std::string& text, const Rect& rect, Color color, const Font& font) override {
    if (text.empty()) return;
    cairo_save(cr_);
    SelectFont(font);
    cairo_text_extents_t ext;
    cairo_text_extents(cr_, text.c_str(), &ext);
    cairo_font_extents_t fe;
    cairo_font_extents(cr_, &fe);
    const double x = rect.left + (rect.Width() - ext.x_advance) / 2.0;
    const double y = rect.top + (rect.Height() - (fe.ascent + fe.descent)) / 2.0 + fe.ascent;
    SetSource(cr_, color);
    cairo_move_to(cr_, std::floor(x), std::floor(y));
    cairo_show_text(cr_, text.c_str());
    cairo_restore(cr_);
  }
  void FillRect(const Rect& rect, Color color) override {
    SetSource(cr_, color);
    cairo_rectangle(cr_, rect.left, rect.top, rect.Width(), rect.Height());
    cairo_fill(cr_);
  }
  void LeftText(const std::string& text, const Rect& rect, Color color, const Font& font) {
    if (text.empty()) return;
    cairo_save(cr_);
    cairo_rectangle(cr_, rect.left, rect.top, rect.Width(), rect.Height());
    cairo_clip(cr_);
    SelectFont(font);
    cairo_font_extents_t fe;
    cairo_font_extents(cr_, &fe);
    SetSource(cr_, color);
    cairo_move_to(cr_, rect.left, rect.top + fe.ascent);
    cairo_show_text(cr_, text.c_str());
    cairo_restore(cr_);
  }

 private:
  void SelectFont(const Font& font) {
    cairo_select_font_face(cr_, font.face.empty() ? "Sans" : font.face.c_str(), CAIRO_FONT_SLANT_NORMAL,
                           font.weight >= 600 ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr_, font.height > 0 ? font.height : 12);
  }
  cairo_t* cr_;
};

const Font kDefaultFont{"Sans", 12, 400};

class GtkWindowImpl;

struct TimerTicket {
  GtkWindowImpl* window;
  class GtkControl* control;  // null for the window's own timers
  int id;
};

class GtkControl : public Control {
 public:
  GtkControl(GtkWindowImpl* owner, const TemplateControl& t)
      : owner_(owner), id_(t.id), kind_(KindOfControl(t)), class_name_(t.class_name), text_(t.text),
        rect_(DialogUnitsToPixels(t.x, t.y, t.cx, t.cy)), visible_((t.style & 0x10000000u) != 0),
        enabled_((t.style & 0x08000000u) == 0) {}
  ~GtkControl() override;

  int Id() const override { return id_; }
  ControlKind Kind() const override { return kind_; }
  void Move(const Rect& rect) override;
  Rect Bounds() const override { return rect_; }
  void Show(bool show) override;
  bool IsVisible() const override { return visible_; }
  void Enable(bool enable) override {
    if (enable != enabled_) {
      enabled_ = enable;
      Repaint();
    }
  }
  bool IsEnabled() const override { return enabled_; }
  void SetText(const std::string& text) override {
    text_ = text;
    Repaint();
  }
  std::string Text() const override { return text_; }
  void SetFont(const Font& font) override { font_ = font; }
  void SetTextColor(Color color) override { color_ = color; }
  void Repaint() override;
  void SetDelegate(ControlDelegate* delegate) override { delegate_ = delegate; }
  void SetTimer(int id, int period_ms) override;
  void KillTimer(int id) override;
  void TrackMouseLeave() override { tracking_ = true; }
  void SetRange(int low, int high) override {
    low_ = low;
    high_ = high;
  }
  void SetPosition(int position) override {
    position_ = position;
    Repaint();
  }
  int Position() const override { return position_; }
  bool ShowPage(const std::string& page, const std::string& base_url) override {
    if (!pane_) return false;
    pane_->Load(page, base_url);
    return true;
  }

  void Paint(cairo_t* cr, bool pressed);
  void AttachBrowser(GtkWidget* fixed);

  GtkWindowImpl* owner_;
  int id_;
  ControlKind kind_;
  std::string class_name_;
  std::string text_;
  Rect rect_;
  bool visible_, enabled_;
  Font font_ = kDefaultFont;
  Color color_{0, 0, 0};
  ControlDelegate* delegate_ = nullptr;
  bool tracking_ = false;
  int low_ = 0, high_ = 100, position_ = 0;
  std::unique_ptr<InertPane> pane_;
  GtkWidget* browser_ = nullptr;  // the pane's view
  GtkWidget* fixed_ = nullptr;
  std::map<int, std::pair<guint, TimerTicket*>> timers_;
};

struct QueuedMessage {
  unsigned message;
  uintptr_t wparam;
  intptr_t lparam;
  bool sent;
  bool done = false;
  intptr_t result = 0;
};

class GtkWindowImpl : public Window {
 public:
  GtkWindowImpl(const DialogTemplate& t, WindowDelegate* delegate) : delegate_(delegate) {
    owner_thread_ = std::this_thread::get_id();
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window_), t.title.c_str());
    gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
    fixed_ = gtk_fixed_new();
    area_ = gtk_drawing_area_new();
    const Rect size = DialogUnitsToPixels(0, 0, t.cx, t.cy);
    gtk_widget_set_size_request(area_, size.Width(), size.Height());
    gtk_widget_add_events(area_, GDK_POINTER_MOTION_MASK | GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK |
                                     GDK_LEAVE_NOTIFY_MASK);
    gtk_fixed_put(GTK_FIXED(fixed_), area_, 0, 0);
    gtk_container_add(GTK_CONTAINER(window_), fixed_);
    gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
    g_signal_connect(area_, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t* cr, gpointer self) -> gboolean {
                       static_cast<GtkWindowImpl*>(self)->Draw(cr);
                       return TRUE;
                     }),
                     this);
    g_signal_connect(area_, "motion-notify-event",
                     G_CALLBACK(+[](GtkWidget*, GdkEventMotion* e, gpointer self) -> gboolean {
                       static_cast<GtkWindowImpl*>(self)->Motion(static_cast<int>(e->x), static_cast<int>(e->y));
                       return TRUE;
                     }),
                     this);
    g_signal_connect(area_, "leave-notify-event",
                     G_CALLBACK(+[](GtkWidget*, GdkEventCrossing*, gpointer self) -> gboolean {
                       static_cast<GtkWindowImpl*>(self)->Motion(-1, -1);
                       return TRUE;
                     }),
                     this);
    g_signal_connect(area_, "button-press-event",
                     G_CALLBACK(+[](GtkWidget*, GdkEventButton* e, gpointer self) -> gboolean {
                       static_cast<GtkWindowImpl*>(self)->Press(e);
                       return TRUE;
                     }),
                     this);
    g_signal_connect(area_, "button-release-event",
                     G_CALLBACK(+[](GtkWidget*, GdkEventButton* e, gpointer self) -> gboolean {
      if (e->button == 1)
                         static_cast<GtkWindowImpl*>(self)->Release(static_cast<int>(e->x), static_cast<int>(e->y));
                       return TRUE;
                     }),
                     this);
    g_signal_connect(window_, "key-press-event", G_CALLBACK(+[](GtkWidget*, GdkEventKey* e, gpointer self) -> gboolean {
                       return static_cast<GtkWindowImpl*>(self)->Key(e);
                     }),
                     this);
    g_signal_connect(window_, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) -> gboolean {
                       static_cast<GtkWindowImpl*>(self)->delegate_->OnClose();
                       return TRUE;
                     }),
                     this);
    for (const TemplateControl& c : t.controls) {
      controls_.push_back(std::make_unique<GtkControl>(this, c));
      if (controls_.back()->kind_ == ControlKind::kBrowser) controls_.back()->AttachBrowser(fixed_);
    }
    title_ = t.title;
  }

  ~GtkWindowImpl() override {
    for (auto& [id, timer] : timers_) {
      g_source_remove(timer.first);
      delete timer.second;
    }
    controls_.clear();
    {
      std::lock_guard<std::mutex> hold(queue_mutex_);
      closed_ = true;
      for (QueuedMessage* m : queue_) {
        if (m->sent) {
          m->done = true;
        } else {
          delete m;
        }
      }
      queue_.clear();
    }
    queue_done_.notify_all();
    if (idle_source_) g_source_remove(idle_source_);
    gtk_widget_destroy(window_);
    while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
  }

  int Run() {
    delegate_->OnCreate(*this);
    gtk_widget_show_all(window_);
    // Every pointer move counts for hover tracking; none is merged away.
    if (GdkWindow* w = gtk_widget_get_window(area_)) gdk_window_set_event_compression(w, FALSE);
    for (auto& c : controls_) {
      if (c->browser_ && !c->visible_) gtk_widget_hide(c->browser_);
    }
    loop_ = g_main_loop_new(nullptr, FALSE);
    if (!ended_) g_main_loop_run(loop_);
    g_main_loop_unref(loop_);
    loop_ = nullptr;
    delegate_->OnDestroy();
    return code_;
  }

  Control* Find(int id) override {
    for (auto& c : controls_) {
      if (c->id_ == id) return c.get();
    }
    return nullptr;
  }
  std::vector<Control*> Controls() override {
    std::vector<Control*> out;
    for (auto& c : controls_) out.push_back(c.get());
    return out;
  }
  void EndModal(int code) override {
    code_ = code;
    ended_ = true;
    if (loop_) g_main_loop_quit(loop_);
  }
  void RemoveTitleBar() override { gtk_window_set_decorated(GTK_WINDOW(window_), FALSE); }
  void SetShape(const std::vector<Rect>& region) override {
    if (region.empty()) {
      gtk_widget_shape_combine_region(window_, nullptr);
      gtk_widget_input_shape_combine_region(window_, nullptr);
      return;
    }
    cairo_region_t* r = cairo_region_create();
    for (const Rect& rect : region) {
      const cairo_rectangle_int_t cr{rect.left, rect.top, rect.Width(), rect.Height()};
      cairo_region_union_rectangle(r, &cr);
    }
    gtk_widget_shape_combine_region(window_, r);
    gtk_widget_input_shape_combine_region(window_, r);
    cairo_region_destroy(r);
  }
  void SetTitle(const std::string& title) override {
    title_ = title;
    gtk_window_set_title(GTK_WINDOW(window_), title.c_str());
  }
  std::string Title() const override { return title_; }
  void SetIcon(const Image& icon) override {
    if (icon.empty()) return;
    GdkPixbuf* pb = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, icon.width(), icon.height());
    const int stride = gdk_pixbuf_get_rowstride(pb);
    guchar* px = gdk_pixbuf_get_pixels(pb);
    for (int y = 0; y < icon.height(); ++y)
      for (int x = 0; x < icon.width(); ++x) {
        const uint32_t p = icon.Pixel(x, y);
        guchar* q = px + y * stride + x * 4;
        q[0] = static_cast<guchar>(p >> 16);
        q[1] = static_cast<guchar>(p >> 8);
        q[2] = static_cast<guchar>(p);
        q[3] = static_cast<guchar>(p >> 24);
      }
    gtk_window_set_icon(GTK_WINDOW(window_), pb);
    g_object_unref(pb);
  }
  void SetIconResource(int) override {}
  void Minimise() override { gtk_window_iconify(GTK_WINDOW(window_)); }
  void Show(bool show) override {
    if (show) {
      gtk_widget_show(window_);
    } else {
      gtk_widget_hide(window_);
    }
  }
  bool IsVisible() const override { return gtk_widget_get_visible(window_); }
  void Move(const Rect& rect) override {
    gtk_window_move(GTK_WINDOW(window_), rect.left, rect.top);
    if (!rect.Empty()) SetClientSize(rect.Width(), rect.Height());
    Repaint();
  }
  Rect Bounds() const override {
    int x = 0, y = 0, w = 0, h = 0;
    gtk_window_get_position(GTK_WINDOW(window_), &x, &y);
    gtk_window_get_size(GTK_WINDOW(window_), &w, &h);
    return Rect{x, y, x + w, y + h};
  }
  void SetClientSize(int width, int height) override {
    gtk_widget_set_size_request(area_, width, height);
    gtk_window_resize(GTK_WINDOW(window_), width, height);
  }
  void Repaint() override { gtk_widget_queue_draw(area_); }
  void SetTimer(int id, int period_ms) override { StartTimer(&timers_, nullptr, id, period_ms); }
  void KillTimer(int id) override { StopTimer(&timers_, id); }
  void ShowMessage(const std::string& text, const std::string& caption) override {
    RunMessageDialog(GTK_WINDOW(window_), text, caption);
  }
  void SetContextMenu(const std::vector<MenuEntry>& entries) override {
    if (menu_) gtk_widget_destroy(menu_);
    menu_ = nullptr;
    menu_choices_.clear();
    if (entries.empty()) return;
    menu_ = gtk_menu_new();
    gtk_menu_attach_to_widget(GTK_MENU(menu_), window_, nullptr);
    for (const MenuEntry& e : entries) {
      menu_choices_.push_back(std::make_unique<MenuChoice>(MenuChoice{this, e.id}));
      GtkWidget* item = gtk_menu_item_new_with_label(e.text.c_str());
      g_signal_connect(item, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer p) {
                         auto* c = static_cast<MenuChoice*>(p);
                         c->window->delegate_->OnCommand(c->id, kMenuChosen);
                       }),
                       menu_choices_.back().get());
      gtk_menu_shell_append(GTK_MENU_SHELL(menu_), item);
    }
    gtk_widget_show_all(menu_);
  }
  bool AskYesNo(const std::string& text, const std::string& caption) override {
    GtkWidget* d = gtk_message_dialog_new(GTK_WINDOW(window_), GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION,
                                          GTK_BUTTONS_YES_NO, "%s", text.c_str());
    gtk_window_set_title(GTK_WINDOW(d), caption.c_str());
    gtk_dialog_set_default_response(GTK_DIALOG(d), GTK_RESPONSE_YES);
    const gint answer = gtk_dialog_run(GTK_DIALOG(d));
    gtk_widget_destroy(d);
    while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
    return answer == GTK_RESPONSE_YES;
  }

  intptr_t Send(unsigned message, uintptr_t wparam, intptr_t lparam) override {
    if (std::this_thread::get_id() == owner_thread_) return delegate_->OnMessage(message, wparam, lparam);
    QueuedMessage m{message, wparam, lparam, true};
    std::unique_lock<std::mutex> hold(queue_mutex_);
    if (closed_) return 0;
    Enqueue(&m);
    queue_done_.wait(hold, [&m] { return m.done; });
    return m.result;
  }
  void Post(unsigned message, uintptr_t wparam, intptr_t lparam) override {
    std::lock_guard<std::mutex> hold(queue_mutex_);
    if (closed_) return;
    Enqueue(new QueuedMessage{message, wparam, lparam, false});
  }
  uintptr_t NativeHandle() const override {
    GdkWindow* w = gtk_widget_get_window(window_);
    return w && GDK_IS_X11_WINDOW(w) ? static_cast<uintptr_t>(gdk_x11_window_get_xid(w)) : 0;
  }

  // Timers of the window and of its controls.
  void StartTimer(std::map<int, std::pair<guint, TimerTicket*>>* timers, GtkControl* control, int id, int period_ms) {
    StopTimer(timers, id);
    auto* ticket = new TimerTicket{this, control, id};
    const guint source = g_timeout_add(period_ms > 0 ? period_ms : 1, +[](gpointer p) -> gboolean {
      auto* t = static_cast<TimerTicket*>(p);
      if (t->control) {
        if (t->control->delegate_) t->control->delegate_->OnTimer(t->id);
      } else {
        t->window->delegate_->OnTimer(t->id);
      }
      return G_SOURCE_CONTINUE;
    }, ticket);
    (*timers)[id] = {source, ticket};
  }
  void StopTimer(std::map<int, std::pair<guint, TimerTicket*>>* timers, int id) {
    auto it = timers->find(id);
    if (it == timers->end()) return;
    g_source_remove(it->second.first);
    // The ticket may be in use by the tick that is stopping the timer.
    TimerTicket* ticket = it->second.second;
    g_idle_add(+[](gpointer p) -> gboolean {
      delete static_cast<TimerTicket*>(p);
      return G_SOURCE_REMOVE;
    }, ticket);
    timers->erase(it);
  }

  static void RunMessageDialog(GtkWindow* parent, const std::string& text, const std::string& caption) {
    GtkWidget* d = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER, GTK_BUTTONS_OK, "%s",
                                          text.c_str());
    gtk_window_set_title(GTK_WINDOW(d), caption.c_str());
    gtk_dialog_run(GTK_DIALOG(d));
    gtk_widget_destroy(d);
    while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
  }

  void RepaintControl(const Rect& r) {
    if (!r.Empty()) gtk_widget_queue_draw_area(area_, r.left, r.top, r.Width(), r.Height());
  }

  WindowDelegate* delegate_;

 private:
  // REQUIRES: queue_mutex_ held.
  void Enqueue(QueuedMessage* m) {
    queue_.push_back(m);
    if (!idle_source_) {
      idle_source_ = g_idle_add(+[](gpointer self) -> gboolean {
        static_cast<GtkWindowImpl*>(self)->DrainQueue();
        return G_SOURCE_REMOVE;
      }, this);
    }
  }
  void DrainQueue() {
    std::unique_lock<std::mutex> hold(queue_mutex_);
    idle_source_ = 0;
    while (!queue_.empty()) {
      QueuedMessage* m = queue_.front();
      queue_.pop_front();
      hold.unlock();
      const intptr_t result = delegate_->OnMessage(m->message, m->wparam, m->lparam);
      hold.lock();
      if (m->sent) {
        m->result = result;
        m->done = true;
        queue_done_.notify_all();
      } else {
        delete m;
      }
    }
  }

  void Draw(cairo_t* cr) {
    CairoCanvas canvas(cr);
    if (!delegate_->OnEraseBackground(canvas)) {
      const Rect all{0, 0, gtk_widget_get_allocated_width(area_), gtk_widget_get_allocated_height(area_)};
      canvas.FillRect(all, Color{212, 208, 200});
    }
    for (auto& c : controls_) {
      if (c->visible_ && !c->rect_.Empty()) c->Paint(cr, c.get() == pressed_ && pressed_inside_);
    }
  }

  // Controls that take the mouse: enabled, visible buttons.
  std::vector<Control*> MouseTargets() {
    std::vector<Control*> out;
    for (auto& c : controls_) {
      if (c->kind_ == ControlKind::kButton && c->enabled_) out.push_back(c.get());
    }
    return out;
  }

  void Motion(int x, int y) {
    auto* under = static_cast<GtkControl*>(x < 0 ? nullptr : ControlAt(MouseTargets(), x, y));
    if (hovered_ && hovered_ != under) {
      GtkControl* left = hovered_;
      hovered_ = nullptr;
      if (left->tracking_) {
        left->tracking_ = false;
        if (left->delegate_) left->delegate_->OnMouseLeave();
      }
    }
    if (pressed_) {
      const bool inside = under == pressed_;
      if (inside != pressed_inside_) {
        pressed_inside_ = inside;
        pressed_->Repaint();
      }
      if (!inside && pressed_->delegate_ && x >= 0)
        pressed_->delegate_->OnMouseMove(x - pressed_->rect_.left, y - pressed_->rect_.top, false);
    }
    hovered_ = under;
    if (under && under->delegate_) under->delegate_->OnMouseMove(x - under->rect_.left, y - under->rect_.top, true);
  }

  void Press(GdkEventButton* e) {
    if (e->button == 3 && e->type == GDK_BUTTON_PRESS && menu_) {
      gtk_menu_popup_at_pointer(GTK_MENU(menu_), reinterpret_cast<GdkEvent*>(e));
      return;
    }
    if (e->button != 1) return;
    auto* under = static_cast<GtkControl*>(ControlAt(MouseTargets(), static_cast<int>(e->x), static_cast<int>(e->y)));
    if (!under) return;
    if (e->type == GDK_2BUTTON_PRESS) {
      delegate_->OnCommand(under->id_, kButtonDoubleClicked);
      return;
    }
    if (e->type != GDK_BUTTON_PRESS) return;
    pressed_ = under;
    pressed_inside_ = true;
    under->Repaint();
  }

  void Release(int x, int y) {
    GtkControl* target = pressed_;
    const bool click = pressed_ && pressed_inside_ && ControlAt(MouseTargets(), x, y) == pressed_;
    pressed_ = nullptr;
    pressed_inside_ = false;
    if (!target) target = static_cast<GtkControl*>(ControlAt(MouseTargets(), x, y));
    if (!target) return;
    target->Repaint();
    const int id = target->id_;
    if (click) delegate_->OnCommand(id, kButtonClicked);
    // The command may have ended the dialog or changed the controls; the
    // control itself lives as long as the window.
    if (target->delegate_) target->delegate_->OnLeftButtonUp(x - target->rect_.left, y - target->rect_.top);
  }

  gboolean Key(GdkEventKey* e) {
    const guint keyval = e->keyval;
    // The menu key and Shift+F10 open the context menu, at the window's
    // corner, as on Windows.
    if (menu_ && (keyval == GDK_KEY_Menu || (keyval == GDK_KEY_F10 && (e->state & GDK_SHIFT_MASK)))) {
      gtk_menu_popup_at_widget(GTK_MENU(menu_), area_, GDK_GRAVITY_NORTH_WEST, GDK_GRAVITY_NORTH_WEST,
                               reinterpret_cast<GdkEvent*>(e));
      return TRUE;
    }
    int key = 0;
    if (keyval == GDK_KEY_Return || keyval == GDK_KEY_KP_Enter) key = kKeyEnter;
    if (keyval == GDK_KEY_Escape) key = kKeyEscape;
    if (key == 0) return FALSE;
    if (!delegate_->OnKey(key)) EndModal(key == kKeyEnter ? 1 : 2);
    return TRUE;
  }

  std::thread::id owner_thread_;
  GtkWidget* window_;
  GtkWidget* fixed_;
  GtkWidget* area_;
  std::vector<std::unique_ptr<GtkControl>> controls_;
  std::map<int, std::pair<guint, TimerTicket*>> timers_;
  GMainLoop* loop_ = nullptr;
  bool ended_ = false;
  int code_ = 0;
  std::string title_;
  GtkControl* hovered_ = nullptr;
  GtkControl* pressed_ = nullptr;
  bool pressed_inside_ = false;
  // The context menu (destroyed with the window it is attached to) and what
  // each of its entries reports.
  struct MenuChoice {
    GtkWindowImpl* window;
    int id;
  };
  GtkWidget* menu_ = nullptr;
  std::vector<std::unique_ptr<MenuChoice>> menu_choices_;

  std::mutex queue_mutex_;
  std::condition_variable queue_done_;
  std::deque<QueuedMessage*> queue_;
  guint idle_source_ = 0;
  bool closed_ = false;
};

GtkControl::~GtkControl() {
  if (delegate_) delegate_->OnControlDestroyed();
  for (auto& [id, timer] : timers_) {
    g_source_remove(timer.first);
    delete timer.second;
  }
}

void GtkControl::Move(const Rect& rect) {
  owner_->RepaintControl(rect_);
  rect_ = rect;
  if (browser_) {
    gtk_fixed_move(GTK_FIXED(fixed_), browser_, rect.left, rect.top);
    gtk_widget_set_size_request(browser_, rect.Width() > 0 ? rect.Width() : 1, rect.Height() > 0 ? rect.Height() : 1);
  }
  owner_->RepaintControl(rect_);
}

void GtkControl::Show(bool show) {
  visible_ = show;
  if (browser_) {
    if (show) {
      gtk_widget_show(browser_);
    } else {
      gtk_widget_hide(browser_);
    }
  }
  owner_->RepaintControl(rect_);
}

void GtkControl::Repaint() { owner_->RepaintControl(rect_); }

void GtkControl::SetTimer(int id, int period_ms) { owner_->StartTimer(&timers_, this, id, period_ms); }
void GtkControl::KillTimer(int id) { owner_->StopTimer(&timers_, id); }

void GtkControl::AttachBrowser(GtkWidget* fixed) {
  const WebKit* kit = LoadWebKit();
  if (!kit) return;
  pane_ = std::make_unique<InertPane>(*kit, fixed, rect_);
  browser_ = pane_->view();
  fixed_ = fixed;
  gtk_widget_set_size_request(browser_, rect_.Width() > 0 ? rect_.Width() : 1, rect_.Height() > 0 ? rect_.Height() : 1);
}

void GtkControl::Paint(cairo_t* cr, bool pressed) {
  cairo_save(cr);
  cairo_rectangle(cr, rect_.left, rect_.top, rect_.Width(), rect_.Height());
  cairo_clip(cr);
  cairo_translate(cr, rect_.left, rect_.top);
  CairoCanvas canvas(cr);
  const Rect local{0, 0, rect_.Width(), rect_.Height()};
  switch (kind_) {
    case ControlKind::kButton:
      // Owner-drawn: without a painter nothing is drawn, as on Windows.
      if (delegate_) delegate_->OnPaint(canvas, ButtonPaintState{pressed, !enabled_});
      break;
    case ControlKind::kText:
      if (!owner_->delegate_->TransparentBackground(class_name_)) canvas.FillRect(local, Color{212, 208, 200});
      canvas.LeftText(text_, local, color_, font_);
      break;
    case ControlKind::kProgress: {
      canvas.FillRect(local, Color{24, 28, 40});
      const int span = high_ - low_;
      const int pos = position_ < low_ ? low_ : (position_ > high_ ? high_ : position_);
      const int filled = span > 0 ? static_cast<int>(static_cast<int64_t>(local.Width()) * (pos - low_) / span) : 0;
      canvas.FillRect(Rect{0, 0, filled, local.Height()}, Color{60, 150, 230});
      break;
    }
    default: break;
  }
  cairo_restore(cr);
}

}  // namespace

void InitCommonControls() {}
bool GraphicsStartup() { return true; }
void GraphicsShutdown() {}

bool DisplayAvailable() { return GtkReady(); }

void ShowMessageBox(const std::string& text, const std::string& caption) {
  if (!GtkReady()) {
    std::fprintf(stderr, "MessageBox[%s]: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
    return;
  }
  GtkWindowImpl::RunMessageDialog(nullptr, text, caption);
}

bool OpenInSystemBrowser(const std::string& url) {
  if (!IsWebLink(url)) return false;
  // The desktop's opener, found on the search path, started from a
  // short-lived middle child so that it is nobody's child here.
  // Everything the children need is made before the fork: they only call
  // what is safe after it in a process with threads.
  std::string program = "xdg-open", address = url;
  char* argv[] = {program.data(), address.data(), nullptr};
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  const pid_t middle = fork();
  if (middle < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (middle == 0) {
    close(fds[0]);
    if (fork() != 0) _exit(0);
    setsid();
    execvp(argv[0], argv);
    const char failed = 1;
    ssize_t ignored = write(fds[1], &failed, 1);
    (void)ignored;
    _exit(127);
  }
  close(fds[1]);
  int status = 0;
  while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  char report = 0;
  ssize_t got;
  while ((got = read(fds[0], &report, 1)) < 0 && errno == EINTR) {
  }
  close(fds[0]);
  return got == 0;  // the pipe closed by a successful exec
}

int RunDialog(const ResourceLibrary& resources, int template_id, WindowDelegate* delegate) {
  if (!GtkReady()) return -1;
  std::string bytes;
  DialogTemplate t;
  if (!resources.LoadRaw(kResourceDialog, template_id, &bytes) || !ParseDialogTemplate(bytes, &t)) return -1;
  GtkWindowImpl window(t, delegate);
  return window.Run();
}

}  // namespace platform
