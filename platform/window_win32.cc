#include <windows.h>

#include <vector>

#include "platform/window.h"

namespace platform {
namespace {

struct Search {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND hwnd, LPARAM param) {
  Search* s = reinterpret_cast<Search*>(param);
  if (s->found.size() >= 1024) return FALSE;
  DWORD owner = 0;
  GetWindowThreadProcessId(hwnd, &owner);
  if (owner == s->pid && (GetWindowLongA(hwnd, GWL_STYLE) & WS_VISIBLE)) s->found.push_back(hwnd);
  return TRUE;
}

}  // namespace

bool FindVisibleWindowOfProcess(uint32_t pid, WindowRef* out) {
  Search s{pid, {}};
  EnumWindows(Collect, reinterpret_cast<LPARAM>(&s));
  if (s.found.empty()) return false;
  *out = reinterpret_cast<WindowRef>(s.found.front());
  return true;
}

void ActivateWindow(WindowRef window) {
  HWND hwnd = reinterpret_cast<HWND>(window);
  if (IsIconic(hwnd)) ShowWindow(hwnd, SW_RESTORE);
  BringWindowToTop(hwnd);
  SetForegroundWindow(hwnd);
}

}  // namespace platform
