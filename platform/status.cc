#include "platform/status.h"

#include <ostream>

namespace platform {

const char* CodeName(Status::Code code) {
  switch (code) {
    case Status::kOk:
      return "ok";
    case Status::kRetryable:
      return "retryable";
    case Status::kFailed:
      return "failed";
    case Status::kBadCall:
      return "bad call";
  }
  return "unknown";
}

std::string Status::ToString() const {
  std::string out = CodeName(code_);
  if (!text_.empty()) out += ": " + text_;
  return out;
}

void PrintTo(const Status& status, std::ostream* out) { *out << status.ToString(); }

std::ostream& operator<<(std::ostream& out, const Status& status) { return out << status.ToString(); }

}  // namespace platform
