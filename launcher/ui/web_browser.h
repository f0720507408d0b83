// The host of the platform's web browser control.
#ifndef LAUNCHER_UI_WEB_BROWSER_H_
#define LAUNCHER_UI_WEB_BROWSER_H_

#include <string>

#include "platform/gui.h"

class CWebBrowser2 {
 public:
  // REQUIRES: `control` is a browser host and outlives this object.
  void Attach(platform::Control* control) { control_ = control; }
  platform::Control* control() const { return control_; }
  // Shows `page` inertly as the document at `base_url` (Control::ShowPage);
  // an empty page blanks the pane. False without a control or when the
  // system has no browser control (the pane stays blank).
  bool ShowPage(const std::string& page, const std::string& base_url);

 private:
  platform::Control* control_ = nullptr;
};

#endif  // LAUNCHER_UI_WEB_BROWSER_H_
