// Status: what an operation of an operating-system service ended with, the
// one convention of the file and HTTP services.
//
//   platform::Status s = file->Write(bytes, n);
//   if (!s.ok()) LogError() << "write failed: " << s.ToString();
//   if (s == platform::Status::kRetryable) ... try again later ...
//
// Four outcomes, so that a caller can decide without knowing the service:
//   kOk         it worked;
//   kRetryable  the environment failed a sound request (a network error or
//               time-out, a full disk, a file missing or locked by another
//               program, access denied): the same request may work later;
//   kFailed     it failed for good (the library failing, no memory, a reply
//               that can never be read): asking again is pointless;
//   kBadCall    the request can never succeed as made (a negative position, a
//               closed file, an invalid name): a fault of the caller.
// A failure may carry a text for logs: what the system said, in its words.
// Callers decide by the code, never by the text.
//
// A Status is a small value; copy it freely. A Code converts to a Status
// without text, so `return Status::kRetryable;` reads as it should.
#ifndef PLATFORM_STATUS_H_
#define PLATFORM_STATUS_H_

#include <iosfwd>
#include <string>
#include <utility>

namespace platform {

class Status {
 public:
  enum Code { kOk = 0, kRetryable, kFailed, kBadCall };

  Status() = default;
  Status(Code code) : code_(code) {}  // NOLINT: a code is a status without text
  Status(Code code, std::string text) : code_(code), text_(code == kOk ? std::string() : std::move(text)) {}

  bool ok() const { return code_ == kOk; }
  Code code() const { return code_; }
  // What the system said about the failure; empty when ok or unknown.
  const std::string& text() const { return text_; }
  // "ok", "retryable", "failed" or "bad call", and ": text" when there is one.
  std::string ToString() const;

  friend bool operator==(const Status& a, Code b) { return a.code_ == b; }
  friend bool operator==(const Status& a, const Status& b) { return a.code_ == b.code_; }

 private:
  Code code_ = kOk;
  std::string text_;
};

// The name of a code, as ToString writes it.
const char* CodeName(Status::Code code);

// For test failure messages.
void PrintTo(const Status& status, std::ostream* out);
std::ostream& operator<<(std::ostream& out, const Status& status);

}  // namespace platform

#endif  // PLATFORM_STATUS_H_
