// Consistency check of the C runtime's heap.
#ifndef PLATFORM_HEAP_CHECK_H_
#define PLATFORM_HEAP_CHECK_H_

namespace platform {

enum class HeapState {
  kOk,
  kEmpty,      // the heap has not been initialised
  kBadBegin,   // the heap's header is damaged
  kBadNode,    // a block is damaged
  kBadPtr,     // a block pointer is invalid
};

// Walks the runtime heap where the runtime offers it (Windows); elsewhere the
// heap cannot be walked and the answer is kOk.
HeapState CheckHeap();

}  // namespace platform

#endif  // PLATFORM_HEAP_CHECK_H_
