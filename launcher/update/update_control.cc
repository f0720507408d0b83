#include "launcher/update/update_control.h"

#include "launcher/log/logger.h"

namespace {

const char* const kStateTexts[kUpdateStateCount] = {
    "Update successful",
    "Updating Checker",
    "Didn't obtain version info and updating address",
    "Failed to download latest-versrion.xml file",
    "Unexpected Error",
    "Updated to latest version",
    "Updating client",
    "Network error",
    "Failed to download info file",
    "Failed to install update pack",
    "This version is not the latest version, please update",
    "Failed to create temporary version directory",
    "Installing updating files",
    "Downloading version info file",
    "Analyzing version info file",
    "Failed to install file checker, please update again",
    "Failed to install file, probable network problem, please update again",
};

}  // namespace

const char* UpdateStateText(int32_t state) {
  if (state < 0 || state >= kUpdateStateCount) return "";
  return kStateTexts[state];
}

bool IsFinalState(int32_t state) {
  switch (state) {
    case NoVersionInfo:
    case LatestFetchFailed:
    case UnexpectedError:
    case UpToDate:
    case InfoFetchFailed:
    case SetupFailed:
    case DigestMismatch:
    case PackageFailed:
      return true;
    default:
      return false;
  }
}

UpdateControl::UpdateControl() = default;

UpdateControl& UpdateControl::Instance() {
  static UpdateControl control;
  return control;
}

UpdateControl::~UpdateControl() { LogInfo() << "delete UpdateControl1"; }

bool UpdateControl::Start() { return false; }

void UpdateControl::Stop(int32_t state) { SetState(state); }

float UpdateControl::GetProgress() const {
  switch (GetState()) {
    case UpToDate:
    case Succeeded:
      return 100.0f;
    default:
      return 0.0f;
  }
}
