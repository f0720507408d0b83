#include <windows.h>
#include <commctrl.h>

#include <cstdio>

#include "platform/gui.h"

namespace platform {

void InitCommonControls() { ::InitCommonControls(); }
bool GraphicsStartup() { return true; }
void GraphicsShutdown() {}

void ShowMessageBox(const std::string& text, const std::string& caption) {
  std::fprintf(stderr, "MessageBox[%s]: %s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
}

}  // namespace platform
