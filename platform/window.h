// Top-level windows of other processes.
#ifndef PLATFORM_WINDOW_H_
#define PLATFORM_WINDOW_H_

#include <cstdint>

namespace platform {

using WindowRef = uintptr_t;

// The first visible top-level window (of at most 1024 collected) that belongs
// to process `pid`. False when there is none, or no display to ask.
bool FindVisibleWindowOfProcess(uint32_t pid, WindowRef* out);

// Restores the window if minimised, raises it and makes it the foreground window.
void ActivateWindow(WindowRef window);

}  // namespace platform

#endif  // PLATFORM_WINDOW_H_
