#include "patcher/engine/malloc_ansi.h"

#include <cstdint>
#include <cstdlib>

#include "patcher/engine/core.h"
#include "platform/heap_check.h"

void* FMallocAnsi::Malloc(DWORD Size, const TCHAR* Tag) {
  void* Ptr = std::malloc(Size);
  check(Ptr);
  return Ptr;
}

void* FMallocAnsi::Realloc(void* Ptr, DWORD NewSize, const TCHAR* Tag) {
  if (reinterpret_cast<uintptr_t>(Ptr) < 4096) {
    if (!NewSize) return nullptr;
    void* Result = std::malloc(NewSize);
    check(Result);
    return Result;
  }
  if (!NewSize) {
    std::free(Ptr);
    return nullptr;
  }
  void* Result = std::realloc(Ptr, NewSize);
  check(Result);
  return Result;
}

void FMallocAnsi::Free(void* Ptr) { std::free(Ptr); }

void FMallocAnsi::DumpAllocs() { GLog->Logf(NAME_Exit, TEXT("Allocation checking disabled")); }

// The check texts name the runtime's heap states.
#define HEAP_CHECK(cond, text) \
  do {                         \
    if (!(cond)) appFailAssert(text, __FILE__, __LINE__); \
  } while (0)

void FMallocAnsi::HeapCheck() {
  using platform::HeapState;
  HeapState Result = platform::CheckHeap();
  HEAP_CHECK(Result != HeapState::kBadBegin, "Result!=_HEAPBADBEGIN");
  HEAP_CHECK(Result != HeapState::kBadNode, "Result!=_HEAPBADNODE");
  HEAP_CHECK(Result != HeapState::kBadPtr, "Result!=_HEAPBADPTR");
  HEAP_CHECK(Result != HeapState::kEmpty, "Result!=_HEAPEMPTY");
  HEAP_CHECK(Result == HeapState::kOk, "Result==_HEAPOK");
}
