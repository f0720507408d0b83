#include "platform/codepage.h"

namespace platform {

bool TakesNoConversionFlags(unsigned cp) {
  switch (cp) {
    case 65000: case 65001: case 50220: case 50221: case 50222:
    case 50225: case 50227: case 50229: case 52936: case 54936:
      return true;
    default:
      return cp >= 57002 && cp <= 57011;
  }
}

}  // namespace platform
