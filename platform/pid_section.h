// Named 4-byte shared sections that hold the id of the process that created
// them, so one program can find another's window. A section lives as long as
// a handle to it is open; one whose creating process is gone counts as absent.
#ifndef PLATFORM_PID_SECTION_H_
#define PLATFORM_PID_SECTION_H_

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class PidSection {
 public:
  virtual ~PidSection() = default;  // unmaps and closes

  // Opens an existing section for reading; null when there is none.
  static std::unique_ptr<PidSection> Open(const std::string& name);

  // Creates the section, read-write. `already_existed` is set when another
  // process created it first (the handle is then of no use to the caller).
  // Null when creation fails.
  static std::unique_ptr<PidSection> Create(const std::string& name, bool* already_existed);

  virtual uint32_t ReadPid() const = 0;
  virtual void WritePid(uint32_t pid) = 0;
};

}  // namespace platform

#endif  // PLATFORM_PID_SECTION_H_
