// The windowing system, as far as start-up needs it.
#ifndef PLATFORM_GUI_H_
#define PLATFORM_GUI_H_

#include <string>

namespace platform {

// Registers the common control classes.
void InitCommonControls();

// Starts and stops the graphics library used for decoding and drawing images.
bool GraphicsStartup();
void GraphicsShutdown();

// A modal message box with an OK button. Blocks until dismissed. Where no
// display is available the text goes to standard error instead.
void ShowMessageBox(const std::string& text, const std::string& caption);

}  // namespace platform

#endif  // PLATFORM_GUI_H_
