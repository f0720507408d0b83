// Symbolic links, made on purpose: for tests that plant the links an attacker
// would (the product itself never makes one, and never follows one where it
// matters; see own_directory.h and IsLink in file.h).
#ifndef PLATFORM_LINK_H_
#define PLATFORM_LINK_H_

#include <string>

namespace platform {

// Makes `link` a symbolic link to `target` (`directory`: the target is a
// directory, which Windows records). True only when a link is there
// afterwards: Windows makes one unprivileged only in developer mode, and an
// emulator may answer yes and make nothing.
bool MakeSymbolicLink(const std::string& target, const std::string& link, bool directory);

}  // namespace platform

#endif  // PLATFORM_LINK_H_
