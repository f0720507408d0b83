// The launcher program ("Quillfen").
#include <string>
#include <vector>

#include "launcher/app/launcher_app.h"
#include "launcher/app/launcher_window.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  LauncherApp::SetDialogRunner(&RunLauncherWindow);
  LauncherApp app;
  app.InitInstance(args);
  return 0;
}
