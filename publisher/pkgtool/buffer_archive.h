// An archive that saves into a byte vector, with positions and Seek; name
// fields are written as compact indices given by a translation function.
#ifndef PUBLISHER_PKGTOOL_BUFFER_ARCHIVE_H_
#define PUBLISHER_PKGTOOL_BUFFER_ARCHIVE_H_

#include <functional>
#include <vector>

#include "patcher/engine/core.h"

namespace pkgtool {

class FBufferWriter : public FArchive {
 public:
  // NameToIndex: the compact index written for a name; by default the
  // name's own index.
  explicit FBufferWriter(INT Version = PACKAGE_FILE_VERSION,
                         std::function<INT(const FName&)> InNameToIndex = nullptr)
      : NameToIndex(std::move(InNameToIndex)) {
    ArIsSaving = 1;
    ArIsPersistent = ArForClient = ArForServer = 1;
    ArVer = Version;
  }
  using FArchive::operator<<;
  void Serialize(void* V, INT Length) override {
    if (Length <= 0) return;
    if (Pos + static_cast<size_t>(Length) > Bytes.size()) Bytes.resize(Pos + Length);
    appMemcpy(Bytes.data() + Pos, V, Length);
    Pos += Length;
  }
  FArchive& operator<<(FName& Name) override {
    INT Index = NameToIndex ? NameToIndex(Name) : Name.GetIndex();
    *this << AR_INDEX(Index);
    return *this;
  }
  INT GetPosition() override { return static_cast<INT>(Pos); }
  INT TotalSize() override { return static_cast<INT>(Bytes.size()); }
  void Seek(INT InPos) override { Pos = static_cast<size_t>(InPos); }

  std::vector<BYTE> Bytes;

 private:
  size_t Pos = 0;
  std::function<INT(const FName&)> NameToIndex;
};

}  // namespace pkgtool

#endif  // PUBLISHER_PKGTOOL_BUFFER_ARCHIVE_H_
