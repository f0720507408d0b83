#include <windows.h>

#include "platform/codepage.h"

namespace platform {

unsigned AnsiCodePage() { return GetACP(); }

}  // namespace platform
