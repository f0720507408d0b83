#include "platform/file_handle.h"

namespace platform {

FileHandleOpeners& FileHandleHooks() {
  static FileHandleOpeners hooks = RealFileHandleOpeners();
  return hooks;
}

}  // namespace platform
