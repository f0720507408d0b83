#include <malloc.h>
#include <windows.h>

#include "platform/heap_check.h"

namespace platform {

HeapState CheckHeap() {
  switch (_heapchk()) {
    case _HEAPBADBEGIN: return HeapState::kBadBegin;
    case _HEAPBADNODE: return HeapState::kBadNode;
    case _HEAPBADPTR: return HeapState::kBadPtr;
    case _HEAPEMPTY: return HeapState::kEmpty;
    default: return HeapState::kOk;
  }
}

}  // namespace platform
