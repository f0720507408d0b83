// The launcher program ("Quillfen").
#include <string>
#include <vector>

#include "launcher/app/launcher_app.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  LauncherApp app;
  app.InitInstance(args);
  return 0;
}
