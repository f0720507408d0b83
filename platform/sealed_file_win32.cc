#include "platform/sealed_file.h"

#include <windows.h>

namespace platform {
namespace {

class HandleSealedFile : public SealedFile {
 public:
  HandleSealedFile(HANDLE handle, const std::string& path) : handle_(handle), path_(path) {}
  ~HandleSealedFile() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }

  const std::string& ReadPath() const override { return path_; }

  std::unique_ptr<Process> Start(const std::string& command_line, const std::string& working_dir) override {
    // The held file is the image, whatever the command line's first field
    // says. Writers, deleters and renamers stay kept out while it runs: a
    // program that reopens its own image by name reads the checked bytes.
    return StartProcessFromImage(path_, command_line, working_dir);
  }

 private:
  HANDLE handle_;
  std::string path_;
};

}  // namespace

std::unique_ptr<SealedFile> SealedFile::Seal(const std::string& path, std::string* error) {
  // Readers only: no writer, no delete or rename while the handle is open.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = "cannot open " + path + " without write sharing, error " + std::to_string(GetLastError());
    return nullptr;
  }
  return std::make_unique<HandleSealedFile>(h, path);
}

}  // namespace platform
