// INI profile files, with the behaviour of the Windows profile functions:
// sections and keys match without regard to case, values are trimmed and lose
// one pair of surrounding quotes, missing files, sections and keys give the
// default, and the first write creates the file.
#ifndef PLATFORM_INI_H_
#define PLATFORM_INI_H_

#include <cstddef>
#include <string>

namespace platform {

// As GetPrivateProfileIntA: the default when the key is missing or empty;
// otherwise leading blanks, an optional sign, an optional 0x/0o/0b base prefix
// and the digits that follow (0 when there are none).
int ProfileInt(const std::string& section, const std::string& key, int def, const std::string& path);

// As GetPrivateProfileStringA into a buffer of `buffer_size` bytes: at most
// buffer_size - 1 characters are returned.
std::string ProfileString(const std::string& section, const std::string& key, const std::string& def,
                             const std::string& path, size_t buffer_size = 1024);

// As WritePrivateProfileStringA with a value.
bool SetProfileString(const std::string& section, const std::string& key, const std::string& value,
                        const std::string& path);

// The integer rule alone, shared by the backends and tested directly.
int ParseProfileInt(const std::string& value);

}  // namespace platform

#endif  // PLATFORM_INI_H_
