#include "launcher/app/launcher_window.h"

#include "launcher/app/launcher_app.h"
#include "launcher/log/logger.h"
#include "launcher/ui/bmp_button.h"
#include "launcher/ui/launcher_dialog.h"
#include "platform/gui.h"

void RunLauncherWindow(LauncherApp& app) {
  ResourceBitmaps bitmaps(app.Resources());
  LauncherDialog dialog(&bitmaps, LauncherServices::Real(app.Resources()), app.versionText, app.exeDirectory,
                        AreaId);
  const int code = platform::RunDialog(*app.Resources(), kLauncherDialogTemplate, &dialog);
  if (code < 0) LogError() << "the launcher window could not be created";
}
