// Other processes' windows through the X11 window-manager protocol: a window
// belongs to the process named by its _NET_WM_PID property; activation asks
// the window manager with _NET_ACTIVE_WINDOW and, for a display without one,
// maps, raises and focuses the window itself.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <vector>

#include "platform/window.h"

namespace platform {
namespace {

constexpr size_t kMaxWindows = 1024;

bool WindowPid(Display* d, Window w, Atom pid_atom, uint32_t* pid) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(d, w, pid_atom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) != Success)
    return false;
  const bool ok = data && type == XA_CARDINAL && format == 32 && count == 1;
  if (ok) *pid = static_cast<uint32_t>(*reinterpret_cast<unsigned long*>(data));
  if (data) XFree(data);
  return ok;
}

// Top-level windows and, under a reparenting window manager, the client
// windows one level below its frames.
void Collect(Display* d, Window parent, int depth, std::vector<Window>* out) {
  Window root, up;
  Window* children = nullptr;
  unsigned int n = 0;
  if (!XQueryTree(d, parent, &root, &up, &children, &n)) return;
  for (unsigned int i = 0; i < n && out->size() < kMaxWindows; ++i) {
    out->push_back(children[i]);
    if (depth > 0) Collect(d, children[i], depth - 1, out);
  }
  if (children) XFree(children);
}

int IgnoreErrors(Display*, XErrorEvent*) { return 0; }

}  // namespace

bool FindVisibleWindowOfProcess(uint32_t pid, WindowRef* out) {
  Display* d = XOpenDisplay(nullptr);
  if (!d) return false;
  XErrorHandler old = XSetErrorHandler(IgnoreErrors);
  const Atom pid_atom = XInternAtom(d, "_NET_WM_PID", False);
  std::vector<Window> windows;
  Collect(d, DefaultRootWindow(d), 1, &windows);
  bool found = false;
  for (Window w : windows) {
    uint32_t owner = 0;
    XWindowAttributes a;
    if (!WindowPid(d, w, pid_atom, &owner) || owner != pid) continue;
    if (!XGetWindowAttributes(d, w, &a)) continue;
    // A window that is mapped, or iconified by the window manager, counts.
    if (a.map_state != IsViewable && a.map_state != IsUnmapped) continue;
    XWMHints* hints = XGetWMHints(d, w);
    const bool iconic = hints && (hints->flags & StateHint) && hints->initial_state == IconicState;
    if (hints) XFree(hints);
    if (a.map_state == IsUnmapped && !iconic) continue;
    *out = static_cast<WindowRef>(w);
    found = true;
    break;
  }
  XSync(d, False);
  XSetErrorHandler(old);
  XCloseDisplay(d);
  return found;
}

void ActivateWindow(WindowRef window) {
  Display* d = XOpenDisplay(nullptr);
  if (!d) return;
  XErrorHandler old = XSetErrorHandler(IgnoreErrors);
  const Window w = static_cast<Window>(window);
  XMapRaised(d, w);
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = w;
  e.xclient.message_type = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = 1;  // a normal application
  e.xclient.data.l[1] = CurrentTime;
  XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
  XSync(d, False);
  XWindowAttributes a;
  if (XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable) XSetInputFocus(d, w, RevertToParent, CurrentTime);
  XSync(d, False);
  XSetErrorHandler(old);
  XCloseDisplay(d);
}

}  // namespace platform
