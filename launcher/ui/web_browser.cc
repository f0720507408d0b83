#include "launcher/ui/web_browser.h"

bool CWebBrowser2::ShowPage(const std::string& page, const std::string& base_url) {
  return control_ && control_->ShowPage(page, base_url);
}
