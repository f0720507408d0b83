// Overrides of the resource library's strings from "Quillfen.ini" beside it
// (see strings.h), shared by both builds of the library.
#ifndef TESTING_RESOURCES_OVERRIDES_H_
#define TESTING_RESOURCES_OVERRIDES_H_

#include <string>
#include <vector>

namespace quillfen {

struct StringOverride {
  int id;
  std::string text;
};

// The overrides given for numbers of the string table, read with the profile
// functions from Quillfen.ini in the directory of the module that holds
// `module_address`. Empty when there is no such file.
std::vector<StringOverride> ReadStringOverrides(const void* module_address);

}  // namespace quillfen

#endif  // TESTING_RESOURCES_OVERRIDES_H_
