// The allocator over the C runtime's heap (installed as GMalloc).
#ifndef PATCHER_ENGINE_MALLOC_ANSI_H_
#define PATCHER_ENGINE_MALLOC_ANSI_H_

#include "patcher/engine/services.h"

class FMallocAnsi : public FMalloc {
 public:
  // malloc; a null result is the failed check "Ptr".
  void* Malloc(DWORD Size, const TCHAR* Tag) override;
  // A block address below 4096 counts as no block: then it allocates, or
  // returns null for size 0. Size 0 frees the block; otherwise realloc (a
  // null result is the failed check "Ptr").
  void* Realloc(void* Ptr, DWORD NewSize, const TCHAR* Tag) override;
  void Free(void* Ptr) override;
  // Logs "Allocation checking disabled" on GLog.
  void DumpAllocs() override;
  // The runtime's heap check, each bad state a failed check.
  void HeapCheck() override;
  void Init() override {}
  void Exit() override {}
};

#endif  // PATCHER_ENGINE_MALLOC_ANSI_H_
