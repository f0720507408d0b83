// The windowing service on the Windows API: a dialog from the resource
// library's template, owner-drawn buttons subclassed for hover and release,
// GDI drawing, window regions, timers and the web browser control hosted
// through OLE.
#include <windows.h>
#include <commctrl.h>
#include <exdisp.h>
#include <exdispid.h>
#include <mshtmdid.h>
#include <ole2.h>
#include <shellapi.h>

#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#include <gdiplus.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/gui.h"
#include "platform/resources.h"

namespace platform {
namespace {

HINSTANCE ThisModule() { return GetModuleHandleA(nullptr); }

std::string ClassOf(HWND hwnd) {
  char name[128] = {};
  GetClassNameA(hwnd, name, sizeof name);
  return name;
}

COLORREF Ref(Color c) { return RGB(c.r, c.g, c.b); }

HFONT MakeFont(const Font& font) {
  return CreateFontA(font.height, 0, 0, 0, font.weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                     font.face.empty() ? "MS Shell Dlg" : font.face.c_str());
}

class GdiCanvas : public Canvas {
 public:
  explicit GdiCanvas(HDC dc) : dc_(dc) {}
  void DrawImage(const Image& image, int x, int y, int width, int height) override {
    if (image.empty() || width <= 0 || height <= 0) return;
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = image.width();
    bi.bmiHeader.biHeight = -image.height();  // top down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(dc_, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bmp) return;
    std::memcpy(bits, image.pixels().data(), image.pixels().size() * 4);
    bool transparent = false;
    for (uint32_t p : image.pixels()) {
      if ((p >> 24) == 0) {
        transparent = true;
        break;
      }
    }
    HDC mem = CreateCompatibleDC(dc_);
    HGDIOBJ old = SelectObject(mem, bmp);
    if (transparent) {
      // Transparent pixels have zero colour bits: the pixels are premultiplied.
      BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
      AlphaBlend(dc_, x, y, width, height, mem, 0, 0, width, height, blend);
    } else {
      BitBlt(dc_, x, y, width, height, mem, 0, 0, SRCCOPY);
    }
    SelectObject(mem, old);
    DeleteDC(mem);
    DeleteObject(bmp);
  }
  void DrawTextCentred(const std::string& text, const Rect& rect, Color color, const Font& font) override {
    if (text.empty()) return;
    HFONT f = MakeFont(font);
    HGDIOBJ old = SelectObject(dc_, f);
    const int mode = SetBkMode(dc_, TRANSPARENT);
    const COLORREF colour = SetTextColor(dc_, Ref(color));
    RECT r = {rect.left, rect.top, rect.right, rect.bottom};
    DrawTextA(dc_, text.c_str(), static_cast<int>(text.size()), &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SetTextColor(dc_, colour);
    SetBkMode(dc_, mode);
    SelectObject(dc_, old);
    DeleteObject(f);
  }
  void FillRect(const Rect& rect, Color color) override {
    HBRUSH b = CreateSolidBrush(Ref(color));
    RECT r = {rect.left, rect.top, rect.right, rect.bottom};
    ::FillRect(dc_, &r, b);
    DeleteObject(b);
  }

 private:
  HDC dc_;
};

// --- The web browser control, hosted in place. -----------------------------

// The smallest container the browser control accepts: a client site, an
// in-place site and a frame, all answering for one host window.
// What the control may fetch and run: images only, no scripts, applets,
// ActiveX controls (neither downloaded nor run), behaviours, frames or
// client pull (meta refresh), no dialogs, and never a copy from the cache.
constexpr LONG kInertDownloadControl = DLCTL_DLIMAGES | DLCTL_NO_SCRIPTS | DLCTL_NO_JAVA | DLCTL_NO_RUNACTIVEXCTLS |
                                       DLCTL_NO_DLACTIVEXCTLS | DLCTL_NO_BEHAVIORS | DLCTL_NO_FRAMEDOWNLOAD |
                                       DLCTL_NOFRAMES | DLCTL_NO_CLIENTPULL | DLCTL_SILENT | DLCTL_RESYNCHRONIZE |
                                       DLCTL_PRAGMA_NO_CACHE;

// An IDispatch that answers nothing but what Invoke handles.
class DispatchBase : public IDispatch {
 public:
  STDMETHODIMP GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
};

class BrowserSite : public IOleClientSite, public IOleInPlaceSite, public IOleInPlaceFrame, public DispatchBase {
 public:
  explicit BrowserSite(HWND host) : host_(host) {}

  // IDispatch: the ambient properties the control asks its container for.
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override {
    if (id != DISPID_AMBIENT_DLCONTROL || !result) return DISP_E_MEMBERNOTFOUND;
    VariantInit(result);
    result->vt = VT_I4;
    result->lVal = kInertDownloadControl;
    return S_OK;
  }

  // IUnknown. The site lives as long as its control; reference counts are
  // kept only for the protocol's sake.
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IOleClientSite) {
      *out = static_cast<IOleClientSite*>(this);
    } else if (iid == IID_IOleInPlaceSite || iid == IID_IOleWindow) {
      *out = static_cast<IOleInPlaceSite*>(this);
    } else if (iid == IID_IOleInPlaceFrame || iid == IID_IOleInPlaceUIWindow) {
      *out = static_cast<IOleInPlaceFrame*>(this);
    } else if (iid == IID_IDispatch) {
      *out = static_cast<IDispatch*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }

  // IOleClientSite
  STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP GetContainer(IOleContainer** c) override {
    *c = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

  // IOleWindow
  STDMETHODIMP GetWindow(HWND* w) override {
    *w = host_;
    return S_OK;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

  // IOleInPlaceSite
  STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnUIActivate() override { return S_OK; }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT pos, LPRECT clip,
                                LPOLEINPLACEFRAMEINFO info) override {
    *frame = static_cast<IOleInPlaceFrame*>(this);
    AddRef();
    *doc = nullptr;
    GetClientRect(host_, pos);
    GetClientRect(host_, clip);
    info->fMDIApp = FALSE;
    info->hwndFrame = GetParent(host_);
    info->haccel = nullptr;
    info->cAccelEntries = 0;
    return S_OK;
  }
  STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
  STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
  STDMETHODIMP DiscardUndoState() override { return E_NOTIMPL; }
  STDMETHODIMP DeactivateAndUndo() override { return E_NOTIMPL; }
  STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }

  // IOleInPlaceUIWindow / IOleInPlaceFrame
  STDMETHODIMP GetBorder(LPRECT) override { return E_NOTIMPL; }
  STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return E_NOTIMPL; }
  STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return E_NOTIMPL; }
  STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }
  STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
  STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
  STDMETHODIMP RemoveMenus(HMENU) override { return E_NOTIMPL; }
  STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
  STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
  STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

 private:
  HWND host_;
  ULONG refs_ = 1;
};

std::string FromWide(const wchar_t* text) {
  if (!text) return std::string();
  const int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

// The argument `index` of an event, counted from the first as declared
// (DISPPARAMS holds them last first); null when there are fewer.
VARIANT* EventArgument(DISPPARAMS* params, UINT index) {
  if (!params || index >= params->cArgs) return nullptr;
  return &params->rgvarg[params->cArgs - 1 - index];
}

// Sets an event's by-reference VARIANT_BOOL "Cancel" argument.
void CancelEvent(DISPPARAMS* params, UINT index) {
  VARIANT* v = EventArgument(params, index);
  if (v && v->vt == (VT_BYREF | VT_BOOL) && v->pboolVal) *v->pboolVal = VARIANT_TRUE;
}

class BrowserHost;

// Receives the control's events: every navigation but the host's own load
// of the empty page is cancelled (a web link goes to the system's browser),
// as are new windows and downloads; a finished empty page gets the bytes.
class BrowserEvents : public DispatchBase {
 public:
  explicit BrowserEvents(BrowserHost* host) : host_(host) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID_DWebBrowserEvents2) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override;

 private:
  BrowserHost* host_;
  ULONG refs_ = 1;
};

class BrowserHost {
 public:
  explicit BrowserHost(HWND host) : site_(host), events_(this), host_(host) {}
  ~BrowserHost() {
    if (connection_) {
      connection_->Unadvise(cookie_);
      connection_->Release();
    }
    if (browser_) browser_->Release();
    if (object_) {
      object_->Close(OLECLOSE_NOSAVE);
      object_->SetClientSite(nullptr);
      object_->Release();
    }
  }
  // Creates the control on first use; false when the system has none. The
  // control first shows the empty page; the bytes are written into it once
  // it is there.
  bool ShowPage(const std::string& page, const std::string& base_url) {
    if (!browser_ && !Create()) return false;
    pending_ = page.empty() ? std::string() : PageWithBase(page, base_url);
    has_pending_ = !pending_.empty();
    own_load_ = true;
    BSTR address = SysAllocString(L"about:blank");
    VARIANT empty;
    VariantInit(&empty);
    const HRESULT hr = browser_->Navigate(address, &empty, &empty, &empty, &empty);
    SysFreeString(address);
    return SUCCEEDED(hr);
  }
  void Resize() {
    if (!object_) return;
    IOleInPlaceObject* inplace = nullptr;
    if (SUCCEEDED(object_->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&inplace)))) {
      RECT r;
      GetClientRect(host_, &r);
      inplace->SetObjectRects(&r, &r);
      inplace->Release();
    }
  }

  // From the events. True when the navigation to `url` may go on.
  bool AllowNavigation(const std::string& url) {
    if (own_load_ && url == "about:blank") return true;
    if (IsWebLink(url)) OpenInSystemBrowser(url);
    return false;
  }
  // The empty page is there: write the pending bytes into its document.
  void DocumentComplete() {
    own_load_ = false;
    if (!has_pending_ || !browser_) return;
    has_pending_ = false;
    const std::string page = std::move(pending_);
    pending_.clear();
    IDispatch* document = nullptr;
    if (FAILED(browser_->get_Document(&document)) || !document) return;
    IPersistStreamInit* persist = nullptr;
    if (SUCCEEDED(document->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&persist)))) {
      HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, page.size());
      if (memory) {
        if (void* p = GlobalLock(memory)) {
          std::memcpy(p, page.data(), page.size());
          GlobalUnlock(memory);
        }
        IStream* stream = nullptr;
        if (SUCCEEDED(CreateStreamOnHGlobal(memory, TRUE, &stream))) {
          persist->InitNew();
          persist->Load(stream);
          stream->Release();
        } else {
          GlobalFree(memory);
        }
      }
      persist->Release();
    }
    document->Release();
  }

 private:
  bool Create() {
    if (tried_) return false;
    tried_ = true;
    if (FAILED(CoCreateInstance(CLSID_WebBrowser, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                reinterpret_cast<void**>(&object_)))) {
      object_ = nullptr;
      return false;
    }
    object_->SetClientSite(&site_);
    // The control reads the download-control flags from the site now and
    // whenever it is told they changed.
    IOleControl* control = nullptr;
    if (SUCCEEDED(object_->QueryInterface(IID_IOleControl, reinterpret_cast<void**>(&control)))) {
      control->OnAmbientPropertyChange(DISPID_AMBIENT_DLCONTROL);
      control->Release();
    }
    RECT r;
    GetClientRect(host_, &r);
    if (FAILED(object_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site_, 0, host_, &r)) ||
        FAILED(object_->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&browser_)))) {
      browser_ = nullptr;
      return false;
    }
    browser_->put_Silent(VARIANT_TRUE);
    browser_->put_RegisterAsDropTarget(VARIANT_FALSE);
    // Without the event connection no navigation could be refused: no page.
    IConnectionPointContainer* container = nullptr;
    if (SUCCEEDED(object_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)))) {
      if (SUCCEEDED(container->FindConnectionPoint(DIID_DWebBrowserEvents2, &connection_)) &&
          FAILED(connection_->Advise(static_cast<IDispatch*>(&events_), &cookie_))) {
        connection_->Release();
        connection_ = nullptr;
      }
      container->Release();
    }
    if (!connection_) {
      browser_->Release();
      browser_ = nullptr;
      return false;
    }
    return true;
  }

  BrowserSite site_;
  BrowserEvents events_;
  HWND host_;
  IOleObject* object_ = nullptr;
  IWebBrowser2* browser_ = nullptr;
  IConnectionPoint* connection_ = nullptr;
  DWORD cookie_ = 0;
  bool tried_ = false;
  bool own_load_ = false;     // our navigation to the empty page is under way
  bool has_pending_ = false;  // bytes wait for the empty page
  std::string pending_;
};

STDMETHODIMP BrowserEvents::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                   UINT*) {
  switch (id) {
    case DISPID_BEFORENAVIGATE2: {
      // (pDisp, URL, Flags, TargetFrameName, PostData, Headers, Cancel)
      VARIANT* url = EventArgument(params, 1);
      std::string address;
      if (url && url->vt == (VT_BYREF | VT_VARIANT) && url->pvarVal && url->pvarVal->vt == VT_BSTR)
        address = FromWide(url->pvarVal->bstrVal);
      else if (url && url->vt == VT_BSTR)
        address = FromWide(url->bstrVal);
      if (!host_->AllowNavigation(address)) CancelEvent(params, 6);
      break;
    }
    case DISPID_NEWWINDOW2:  // (ppDisp, Cancel)
      CancelEvent(params, 1);
      break;
    case DISPID_NEWWINDOW3: {  // (ppDisp, Cancel, dwFlags, bstrUrlContext, bstrUrl)
      VARIANT* url = EventArgument(params, 4);
      if (url && url->vt == VT_BSTR) {
        const std::string address = FromWide(url->bstrVal);
        if (IsWebLink(address)) OpenInSystemBrowser(address);
      }
      CancelEvent(params, 1);
      break;
    }
    case DISPID_FILEDOWNLOAD:  // (ActiveDocument, Cancel)
      CancelEvent(params, 1);
      break;
    case DISPID_DOCUMENTCOMPLETE:
      host_->DocumentComplete();
      break;
    default: break;
  }
  return S_OK;
}

LRESULT CALLBACK BrowserHostProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_SIZE) {
    if (auto* host = reinterpret_cast<BrowserHost*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA))) host->Resize();
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

void RegisterBrowserHost() {
  static std::once_flag once;
  std::call_once(once, [] {
    WNDCLASSA wc = {};
    wc.style = CS_GLOBALCLASS;  // the dialog is created with the resource library's instance
    wc.lpfnWndProc = BrowserHostProc;
    wc.hInstance = ThisModule();
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = kBrowserClass;
    RegisterClassA(&wc);
  });
}

// --- Controls and the window. -------------------------------------------

class Win32Window;

class Win32Control : public Control {
 public:
  Win32Control(Win32Window* owner, HWND hwnd);
  ~Win32Control() override {
    if (delegate_) delegate_->OnControlDestroyed();
    if (font_) DeleteObject(font_);
    if (browser_) {
      SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
      delete browser_;
    }
  }
  int Id() const override { return id_; }
  ControlKind Kind() const override { return kind_; }
  void Move(const Rect& rect) override {
    MoveWindow(hwnd_, rect.left, rect.top, rect.Width(), rect.Height(), TRUE);
  }
  Rect Bounds() const override {
    RECT r;
    GetWindowRect(hwnd_, &r);
    MapWindowPoints(nullptr, GetParent(hwnd_), reinterpret_cast<POINT*>(&r), 2);
    return Rect{r.left, r.top, r.right, r.bottom};
  }
  void Show(bool show) override { ShowWindow(hwnd_, show ? SW_SHOW : SW_HIDE); }
  bool IsVisible() const override { return (GetWindowLongA(hwnd_, GWL_STYLE) & WS_VISIBLE) != 0; }
  void Enable(bool enable) override { EnableWindow(hwnd_, enable); }
  bool IsEnabled() const override { return IsWindowEnabled(hwnd_) != FALSE; }
  void SetText(const std::string& text) override { SetWindowTextA(hwnd_, text.c_str()); }
  std::string Text() const override {
    const int n = GetWindowTextLengthA(hwnd_);
    std::string s(static_cast<size_t>(n) + 1, '\0');
    const int got = GetWindowTextA(hwnd_, &s[0], n + 1);
    s.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return s;
  }
  void SetFont(const Font& font) override {
    font_desc_ = font;
    HFONT f = MakeFont(font);
    SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(f), TRUE);
    if (font_) DeleteObject(font_);
    font_ = f;
  }
  void SetTextColor(Color color) override { color_ = color; }
  void Repaint() override;
  void SetDelegate(ControlDelegate* delegate) override { delegate_ = delegate; }
  void SetTimer(int id, int period_ms) override { ::SetTimer(hwnd_, static_cast<UINT_PTR>(id), period_ms, nullptr); }
  void KillTimer(int id) override { ::KillTimer(hwnd_, static_cast<UINT_PTR>(id)); }
  void TrackMouseLeave() override {
    TRACKMOUSEEVENT t = {sizeof t, TME_LEAVE, hwnd_, 0};
    TrackMouseEvent(&t);
  }
  void SetRange(int low, int high) override { SendMessageA(hwnd_, PBM_SETRANGE32, low, high); }
  void SetPosition(int position) override { SendMessageA(hwnd_, PBM_SETPOS, position, 0); }
  int Position() const override { return static_cast<int>(SendMessageA(hwnd_, PBM_GETPOS, 0, 0)); }
  bool ShowPage(const std::string& page, const std::string& base_url) override {
    if (kind_ != ControlKind::kBrowser) return false;
    if (!browser_) {
      browser_ = new BrowserHost(hwnd_);
      SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(browser_));
    }
    return browser_->ShowPage(page, base_url);
  }

  static LRESULT CALLBACK SubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

  Win32Window* owner_;
  HWND hwnd_;
  int id_;
  ControlKind kind_;
  std::string class_name_;
  Color color_{0, 0, 0};
  Font font_desc_;
  HFONT font_ = nullptr;
  ControlDelegate* delegate_ = nullptr;
  WNDPROC original_ = nullptr;
  BrowserHost* browser_ = nullptr;
};

class Win32Window : public Window {
 public:
  explicit Win32Window(WindowDelegate* delegate) : delegate_(delegate) {}
  ~Win32Window() override {
    if (icon_) DestroyIcon(icon_);
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
  void EndModal(int code) override { EndDialog(hwnd_, code); }
  void RemoveTitleBar() override {
    LONG style = GetWindowLongA(hwnd_, GWL_STYLE);
    style = (style & ~(WS_CAPTION | WS_THICKFRAME | WS_BORDER | WS_DLGFRAME)) | WS_MINIMIZEBOX;
    SetWindowLongA(hwnd_, GWL_STYLE, style);
    LONG ex = GetWindowLongA(hwnd_, GWL_EXSTYLE);
    SetWindowLongA(hwnd_, GWL_EXSTYLE, ex & ~(WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE | WS_EX_CLIENTEDGE | WS_EX_STATICEDGE));
    SetWindowPos(hwnd_, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
  }
  void SetShape(const std::vector<Rect>& region) override {
    if (region.empty()) {
      SetWindowRgn(hwnd_, nullptr, TRUE);
      return;
    }
    // The region is given in client coordinates; the window's own in window
    // coordinates.
    RECT wr;
    GetWindowRect(hwnd_, &wr);
    POINT origin = {0, 0};
    ClientToScreen(hwnd_, &origin);
    const int dx = origin.x - wr.left, dy = origin.y - wr.top;
    std::vector<char> data(sizeof(RGNDATAHEADER) + region.size() * sizeof(RECT));
    auto* rd = reinterpret_cast<RGNDATA*>(data.data());
    rd->rdh.dwSize = sizeof(RGNDATAHEADER);
    rd->rdh.iType = RDH_RECTANGLES;
    rd->rdh.nCount = static_cast<DWORD>(region.size());
    rd->rdh.nRgnSize = static_cast<DWORD>(region.size() * sizeof(RECT));
    RECT bound = {INT_MAX, INT_MAX, INT_MIN, INT_MIN};
    auto* rects = reinterpret_cast<RECT*>(rd->Buffer);
    for (size_t i = 0; i < region.size(); ++i) {
      rects[i] = RECT{region[i].left + dx, region[i].top + dy, region[i].right + dx, region[i].bottom + dy};
      bound.left = std::min(bound.left, rects[i].left);
      bound.top = std::min(bound.top, rects[i].top);
      bound.right = std::max(bound.right, rects[i].right);
      bound.bottom = std::max(bound.bottom, rects[i].bottom);
    }
    rd->rdh.rcBound = bound;
    HRGN rgn = ExtCreateRegion(nullptr, static_cast<DWORD>(data.size()), rd);
    if (rgn && !SetWindowRgn(hwnd_, rgn, TRUE)) DeleteObject(rgn);
  }
  void SetTitle(const std::string& title) override { SetWindowTextA(hwnd_, title.c_str()); }
  std::string Title() const override {
    char buf[512] = {};
    GetWindowTextA(hwnd_, buf, sizeof buf);
    return buf;
  }
  void SetIcon(const Image& icon) override {
    if (icon.empty()) return;
    BITMAPV5HEADER h = {};
    h.bV5Size = sizeof h;
    h.bV5Width = icon.width();
    h.bV5Height = -icon.height();
    h.bV5Planes = 1;
    h.bV5BitCount = 32;
    h.bV5Compression = BI_BITFIELDS;
    h.bV5RedMask = 0x00FF0000;
    h.bV5GreenMask = 0x0000FF00;
    h.bV5BlueMask = 0x000000FF;
    h.bV5AlphaMask = 0xFF000000;
    void* bits = nullptr;
    HDC dc = GetDC(nullptr);
    HBITMAP colour = CreateDIBSection(dc, reinterpret_cast<BITMAPINFO*>(&h), DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, dc);
    if (!colour) return;
    std::memcpy(bits, icon.pixels().data(), icon.pixels().size() * 4);
    HBITMAP mask = CreateBitmap(icon.width(), icon.height(), 1, 1, nullptr);
    ICONINFO ii = {TRUE, 0, 0, mask, colour};
    HICON made = CreateIconIndirect(&ii);
    DeleteObject(mask);
    DeleteObject(colour);
    if (!made) return;
    if (icon_) DestroyIcon(icon_);
    icon_ = made;
    SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
  }
  void SetIconResource(int id) override {
    HICON icon = LoadIconA(ThisModule(), MAKEINTRESOURCEA(id));
    if (!icon) return;
    if (icon_) DestroyIcon(icon_);
    icon_ = CopyIcon(icon);
    SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
  }
  void Minimise() override { ShowWindow(hwnd_, SW_MINIMIZE); }
  void Show(bool show) override { ShowWindow(hwnd_, show ? SW_SHOW : SW_HIDE); }
  bool IsVisible() const override { return IsWindowVisible(hwnd_) != FALSE; }
  void Move(const Rect& rect) override {
    MoveWindow(hwnd_, rect.left, rect.top, rect.Width(), rect.Height(), TRUE);
    Repaint();
  }
  Rect Bounds() const override {
    RECT r;
    GetWindowRect(hwnd_, &r);
    return Rect{r.left, r.top, r.right, r.bottom};
  }
  void SetClientSize(int width, int height) override {
    RECT r = {0, 0, width, height};
    AdjustWindowRectEx(&r, GetWindowLongA(hwnd_, GWL_STYLE), FALSE, GetWindowLongA(hwnd_, GWL_EXSTYLE));
    SetWindowPos(hwnd_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER);
  }
  void Repaint() override {
    RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  }
  void SetTimer(int id, int period_ms) override { ::SetTimer(hwnd_, static_cast<UINT_PTR>(id), period_ms, nullptr); }
  void KillTimer(int id) override { ::KillTimer(hwnd_, static_cast<UINT_PTR>(id)); }
  void ShowMessage(const std::string& text, const std::string& caption) override {
    MessageBoxA(hwnd_, text.c_str(), caption.c_str(), MB_OK);
  }
  void SetContextMenu(const std::vector<MenuEntry>& entries) override { menu_ = entries; }
  bool AskYesNo(const std::string& text, const std::string& caption) override {
    return MessageBoxA(hwnd_, text.c_str(), caption.c_str(), MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON1) == IDYES;
  }
  intptr_t Send(unsigned message, uintptr_t wparam, intptr_t lparam) override {
    return SendMessageA(hwnd_, message, wparam, lparam);
  }
  void Post(unsigned message, uintptr_t wparam, intptr_t lparam) override {
    PostMessageA(hwnd_, message, wparam, lparam);
  }
  uintptr_t NativeHandle() const override { return reinterpret_cast<uintptr_t>(hwnd_); }

  Win32Control* FindByHandle(HWND hwnd) {
    for (auto& c : controls_) {
      if (c->hwnd_ == hwnd) return c.get();
    }
    return nullptr;
  }

  // Paints the window's background under a child control into its DC.
  void PaintBackgroundUnder(HDC dc, const Rect& bounds) {
    POINT old;
    SetViewportOrgEx(dc, -bounds.left, -bounds.top, &old);
    GdiCanvas canvas(dc);
    delegate_->OnEraseBackground(canvas);
    SetViewportOrgEx(dc, old.x, old.y, nullptr);
  }

  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

  WindowDelegate* delegate_;
  HWND hwnd_ = nullptr;
  HICON icon_ = nullptr;
  std::vector<MenuEntry> menu_;
  std::vector<std::unique_ptr<Win32Control>> controls_;

 private:
  INT_PTR Handle(UINT msg, WPARAM wp, LPARAM lp);
  void Result(LRESULT r) { SetWindowLongPtrA(hwnd_, DWLP_MSGRESULT, r); }
};

Win32Control::Win32Control(Win32Window* owner, HWND hwnd) : owner_(owner), hwnd_(hwnd) {
  id_ = GetDlgCtrlID(hwnd);
  class_name_ = ClassOf(hwnd);
  TemplateControl t;
  t.class_name = class_name_;
  kind_ = KindOfControl(t);
  if (kind_ == ControlKind::kButton || kind_ == ControlKind::kBrowser) {
    SetPropA(hwnd, "RenewelControl", this);
    original_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Win32Control::SubclassProc)));
  }
}

void Win32Control::Repaint() {
  if (kind_ == ControlKind::kText) {
    // Text drawn over the background: the background under it is repainted
    // first, or the old text would stay.
    const Rect b = Bounds();
    RECT r = {b.left, b.top, b.right, b.bottom};
    RedrawWindow(GetParent(hwnd_), &r, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    return;
  }
  InvalidateRect(hwnd_, nullptr, FALSE);
  UpdateWindow(hwnd_);
}

LRESULT CALLBACK Win32Control::SubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = static_cast<Win32Control*>(GetPropA(hwnd, "RenewelControl"));
  if (!self) return DefWindowProcA(hwnd, msg, wp, lp);
  ControlDelegate* d = self->delegate_;
  const int x = static_cast<short>(LOWORD(lp)), y = static_cast<short>(HIWORD(lp));
  switch (msg) {
    case WM_ERASEBKGND:
      if (self->kind_ == ControlKind::kButton) return 1;
      break;
    case WM_MOUSEMOVE:
      if (d) {
        POINT p = {x, y};
        ClientToScreen(hwnd, &p);
        d->OnMouseMove(x, y, WindowFromPoint(p) == hwnd);
      }
      break;
    case WM_MOUSELEAVE:
      if (d) d->OnMouseLeave();
      break;
    case WM_LBUTTONUP: {
      const LRESULT r = CallWindowProcA(self->original_, hwnd, msg, wp, lp);
      if (ControlDelegate* after = self->delegate_) after->OnLeftButtonUp(x, y);
      return r;
    }
    case WM_TIMER:
      if (d) {
        d->OnTimer(static_cast<int>(wp));
        return 0;
      }
      break;
    case WM_NCDESTROY: {
      WNDPROC original = self->original_;
      SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
      RemovePropA(hwnd, "RenewelControl");
      return CallWindowProcA(original, hwnd, msg, wp, lp);
    }
    default: break;
  }
  return CallWindowProcA(self->original_, hwnd, msg, wp, lp);
}

INT_PTR CALLBACK Win32Window::DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_INITDIALOG) {
    auto* self = reinterpret_cast<Win32Window*>(lp);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, lp);
    self->hwnd_ = hwnd;
    for (HWND child = GetWindow(hwnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
      self->controls_.push_back(std::make_unique<Win32Control>(self, child));
    self->delegate_->OnCreate(*self);
    return TRUE;
  }
  auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!self) return FALSE;
  return self->Handle(msg, wp, lp);
}

INT_PTR Win32Window::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_ERASEBKGND: {
      GdiCanvas canvas(reinterpret_cast<HDC>(wp));
      if (!delegate_->OnEraseBackground(canvas)) return FALSE;
      Result(1);
      return TRUE;
    }
    case WM_CTLCOLORSTATIC: {
      HWND child = reinterpret_cast<HWND>(lp);
      Win32Control* c = FindByHandle(child);
      if (!c || !delegate_->TransparentBackground(c->class_name_)) return FALSE;
      HDC dc = reinterpret_cast<HDC>(wp);
      SetBkMode(dc, TRANSPARENT);
      ::SetTextColor(dc, Ref(c->color_));
      return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
    }
    case WM_DRAWITEM: {
      auto* di = reinterpret_cast<DRAWITEMSTRUCT*>(lp);
      Win32Control* c = FindByHandle(di->hwndItem);
      if (!c) return FALSE;
      // Drawn into memory first: the background under the button, then the
      // button, so that its transparent pixels show the window behind it.
      const int w = di->rcItem.right - di->rcItem.left, h = di->rcItem.bottom - di->rcItem.top;
      if (w <= 0 || h <= 0) return TRUE;
      HDC mem = CreateCompatibleDC(di->hDC);
      HBITMAP bmp = CreateCompatibleBitmap(di->hDC, w, h);
      HGDIOBJ old = SelectObject(mem, bmp);
      PaintBackgroundUnder(mem, c->Bounds());
      GdiCanvas canvas(mem);
      // Without a painter only the background shows.
      if (c->delegate_)
        c->delegate_->OnPaint(canvas, ButtonPaintState{(di->itemState & ODS_SELECTED) != 0,
                                                     (di->itemState & ODS_DISABLED) != 0});
      BitBlt(di->hDC, di->rcItem.left, di->rcItem.top, w, h, mem, 0, 0, SRCCOPY);
      SelectObject(mem, old);
      DeleteObject(bmp);
      DeleteDC(mem);
      Result(TRUE);
      return TRUE;
    }
    case WM_COMMAND: {
      const int id = LOWORD(wp), code = HIWORD(wp);
      if ((id == IDOK || id == IDCANCEL) && lp == 0) {
        const int key = id == IDOK ? kKeyEnter : kKeyEscape;
        if (!delegate_->OnKey(key)) EndDialog(hwnd_, id);
        return TRUE;
      }
      delegate_->OnCommand(id, code);
      return TRUE;
    }
    case WM_CONTEXTMENU: {
      if (menu_.empty()) return FALSE;
      POINT at = {static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
      if (lp == -1) {  // from the keyboard: at the window's corner
        at = POINT{0, 0};
        ClientToScreen(hwnd_, &at);
      }
      HMENU menu = CreatePopupMenu();
      if (!menu) return TRUE;
      for (const MenuEntry& e : menu_) AppendMenuA(menu, MF_STRING, static_cast<UINT_PTR>(e.id), e.text.c_str());
      const int chosen = static_cast<int>(
          TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0, hwnd_, nullptr));
      DestroyMenu(menu);
      if (chosen != 0) delegate_->OnCommand(chosen, kMenuChosen);
      return TRUE;
    }
    case WM_TIMER:
      delegate_->OnTimer(static_cast<int>(wp));
      return TRUE;
    case WM_CLOSE:
      delegate_->OnClose();
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(icon_);
    case WM_DESTROY:
      delegate_->OnDestroy();
      return FALSE;
    default:
      if (msg >= WM_USER && msg < 0xC000) {
        Result(delegate_->OnMessage(msg, wp, lp));
        return TRUE;
      }
      return FALSE;
  }
}

bool ProbeDisplay() {
  HWND probe = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, ThisModule(), nullptr);
  if (!probe) return false;
  DestroyWindow(probe);
  return true;
}

ULONG_PTR g_gdiplus_token = 0;

}  // namespace

bool OpenInSystemBrowser(const std::string& url) {
  if (!IsWebLink(url)) return false;
  const HINSTANCE result = ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

void InitCommonControls() { ::InitCommonControls(); }

bool GraphicsStartup() {
  if (g_gdiplus_token) return true;
  Gdiplus::GdiplusStartupInput input;
  return Gdiplus::GdiplusStartup(&g_gdiplus_token, &input, nullptr) == Gdiplus::Ok;
}

void GraphicsShutdown() {
  if (!g_gdiplus_token) return;
  Gdiplus::GdiplusShutdown(g_gdiplus_token);
  g_gdiplus_token = 0;
}

bool DisplayAvailable() {
  static std::once_flag once;
  static bool available = false;
  std::call_once(once, [] { available = ProbeDisplay(); });
  return available;
}

void ShowMessageBox(const std::string& text, const std::string& caption) {
  if (!DisplayAvailable()) {
    std::fprintf(stderr, "MessageBox[%s]: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
    return;
  }
  MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK);
}

int RunDialog(const ResourceLibrary& resources, int template_id, WindowDelegate* delegate) {
  if (!DisplayAvailable()) return -1;
  HINSTANCE module = static_cast<HINSTANCE>(resources.Handle());
  if (!FindResourceA(module, MAKEINTRESOURCEA(template_id), MAKEINTRESOURCEA(5))) return -1;
  INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_PROGRESS_CLASS | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  RegisterBrowserHost();
  const HRESULT ole = OleInitialize(nullptr);
  Win32Window window(delegate);
  const INT_PTR code = DialogBoxParamA(module, MAKEINTRESOURCEA(template_id), nullptr, &Win32Window::DialogProc,
                                       reinterpret_cast<LPARAM>(&window));
  window.controls_.clear();
  if (SUCCEEDED(ole)) OleUninitialize();
  return static_cast<int>(code);
}

}  // namespace platform
