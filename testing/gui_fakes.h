// A control without a display, for the window and widget tests: it keeps
// what it is told (bounds, visibility, text, font, timers, range, position,
// the pages it was given) for the test to read, and tells its delegate when
// it goes away, as a real control does.
#ifndef TESTING_GUI_FAKES_H_
#define TESTING_GUI_FAKES_H_

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/gui.h"

namespace testkit {

class FakeControl : public platform::Control {
 public:
  // A control of a dialog, hidden until shown.
  explicit FakeControl(int id) : id_(id) {}
  // A visible button at `rect`.
  explicit FakeControl(platform::Rect rect)
      : bounds(rect), visible(true), id_(1), kind_(platform::ControlKind::kButton) {}
  ~FakeControl() override {
    if (delegate) delegate->OnControlDestroyed();
  }

  int Id() const override { return id_; }
  platform::ControlKind Kind() const override { return kind_; }
  void Move(const platform::Rect& rect) override { bounds = rect; }
  platform::Rect Bounds() const override { return bounds; }
  void Show(bool show) override { visible = show; }
  bool IsVisible() const override { return visible; }
  void Enable(bool enable) override { enabled = enable; }
  bool IsEnabled() const override { return enabled; }
  void SetText(const std::string& t) override { text = t; }
  std::string Text() const override { return text; }
  void SetFont(const platform::Font& f) override { font = f; }
  void SetTextColor(platform::Color c) override { color = c; }
  void Repaint() override { ++repaints; }
  void SetDelegate(platform::ControlDelegate* d) override { delegate = d; }
  void SetTimer(int id, int period_ms) override { timers[id] = period_ms; }
  void KillTimer(int id) override { timers.erase(id); }
  void TrackMouseLeave() override { ++leave_requests; }
  void SetRange(int low, int high) override { range = {low, high}; }
  void SetPosition(int p) override { position = p; }
  int Position() const override { return position; }
  bool ShowPage(const std::string& page, const std::string& base_url) override {
    pages.push_back({page, base_url});
    return true;
  }

  platform::Rect bounds;
  bool visible = false, enabled = true;
  std::string text;
  platform::Font font;
  platform::Color color;
  int repaints = 0;
  int leave_requests = 0;
  std::map<int, int> timers;  // id -> period in ms, while running
  platform::ControlDelegate* delegate = nullptr;
  std::pair<int, int> range{0, 0};
  int position = -1;
  struct Page {
    std::string bytes, base_url;
  };
  std::vector<Page> pages;  // as shown, in order

 private:
  int id_;
  platform::ControlKind kind_ = platform::ControlKind::kOther;
};

}  // namespace testkit

#endif  // TESTING_GUI_FAKES_H_
