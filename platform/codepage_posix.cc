#include "platform/codepage.h"

namespace platform {

unsigned AnsiCodePage() { return 65001; }

}  // namespace platform
