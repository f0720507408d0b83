#include <time.h>

#include "platform/env.h"

namespace platform {

std::tm system_services::LocalTimeAt(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

}  // namespace platform
