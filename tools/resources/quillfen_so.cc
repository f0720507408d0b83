// The resource library where the system has no native resources: the same
// resources behind one exported lookup function.
#include <cstddef>
#include <cstring>

#include "tools/resources/strings.h"

namespace {

struct StringResource {
  int id;
  const char* text;
};

#define QUILLFEN_TABLE_STRING(id, text) {id, text},
const StringResource kStrings[] = {QUILLFEN_STRINGS(QUILLFEN_TABLE_STRING)};

}  // namespace

extern "C" __attribute__((visibility("default"))) const void* QuillfenResource(int type, int id, size_t* size) {
  if (type == 6) {
    for (const StringResource& s : kStrings) {
      if (s.id == id) {
        *size = std::strlen(s.text) + 1;
        return s.text;
      }
    }
  }
  return nullptr;
}
