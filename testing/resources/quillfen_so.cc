// The resource library where the system has no native resources: the same
// resources behind one exported lookup function. Strings come from the shared
// string table, or from Quillfen.ini beside the library where it overrides
// them (read once, at the first string lookup); bitmaps and the dialog template from the records artgen writes
// (QUILLFEN_RES_BIN names that file; the assembler embeds it).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "testing/resources/overrides.h"
#include "testing/resources/strings.h"

#define QUILLFEN_STR2(x) #x
#define QUILLFEN_STR(x) QUILLFEN_STR2(x)

__asm__(".section .rodata\n"
        ".balign 16\n"
        "quillfen_records:\n"
        ".incbin \"" QUILLFEN_STR(QUILLFEN_RES_BIN) "\"\n"
        "quillfen_records_end:\n"
        ".previous\n");

extern "C" const unsigned char quillfen_records[];
extern "C" const unsigned char quillfen_records_end[];

namespace {

struct StringResource {
  int id;
  const char* text;
};

#define QUILLFEN_TABLE_STRING(id, text) {id, text},
const StringResource kStrings[] = {QUILLFEN_STRINGS(QUILLFEN_TABLE_STRING)};

uint32_t U32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

const void* FindRecord(int type, int id, size_t* size) {
  const unsigned char* p = quillfen_records;
  const unsigned char* end = quillfen_records_end;
  while (end - p >= 12) {
    const uint32_t t = U32(p), i = U32(p + 4), n = U32(p + 8);
    if (t == 0 || static_cast<size_t>(end - p - 12) < n) return nullptr;
    if (t == static_cast<uint32_t>(type) && i == static_cast<uint32_t>(id)) {
      *size = n;
      return p + 12;
    }
    p += 12 + ((n + 3) & ~3u);
  }
  return nullptr;
}

// Read once; never changed afterwards, so the texts stay put for callers.
const std::vector<quillfen::StringOverride>& Overrides() {
  static std::once_flag once;
  static std::vector<quillfen::StringOverride> overrides;
  std::call_once(once, [] { overrides = quillfen::ReadStringOverrides(reinterpret_cast<const void*>(&Overrides)); });
  return overrides;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const void* QuillfenResource(int type, int id, size_t* size) {
  if (type == 6) {
    for (const quillfen::StringOverride& o : Overrides()) {
      if (o.id == id) {
        *size = o.text.size() + 1;
        return o.text.c_str();
      }
    }
    for (const StringResource& s : kStrings) {
      if (s.id == id) {
        *size = std::strlen(s.text) + 1;
        return s.text;
      }
    }
    return nullptr;
  }
  return FindRecord(type, id, size);
}
