// How programs of the host system see a file of ours. Under a Windows
// emulation layer the Windows path of a file differs from the path a native
// helper program (a test server, say) must be given.
#ifndef PLATFORM_HOST_PATH_H_
#define PLATFORM_HOST_PATH_H_

#include <string>

namespace platform {

// The host's path for `path`; `path` itself when there is no emulation layer
// or it cannot translate the path.
std::string HostPath(const std::string& path);

}  // namespace platform

#endif  // PLATFORM_HOST_PATH_H_
