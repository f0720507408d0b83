// The launcher program ("Quillfen").
#include <cstdio>
#include <string>
#include <vector>

#include "launcher/app/launcher_app.h"
#include "launcher/app/launcher_window.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  if (LauncherApp::IsHelpRequest(args)) {
    std::fputs(LauncherApp::kUsage, stdout);
    return 0;
  }
  LauncherApp::SetDialogRunner(&RunLauncherWindow);
  LauncherApp app;
  app.InitInstance(args);
  return 0;
}
