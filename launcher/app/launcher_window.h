// Step 18 of start-up with the launcher window: the dialog runner that the
// program installs into LauncherApp.
#ifndef LAUNCHER_APP_LAUNCHER_WINDOW_H_
#define LAUNCHER_APP_LAUNCHER_WINDOW_H_

class LauncherApp;

// Runs the launcher window modally on the calling thread with the app's
// resource library, directory and version text, until it closes.
// REQUIRES: app.Resources() is loaded and a display is available.
void RunLauncherWindow(LauncherApp& app);

#endif  // LAUNCHER_APP_LAUNCHER_WINDOW_H_
