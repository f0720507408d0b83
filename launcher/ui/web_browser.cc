#include "launcher/ui/web_browser.h"

bool CWebBrowser2::Navigate(const std::string& url) { return control_ && control_->Navigate(url); }
