// The setup program of release packages (see delta_install.h). Started as
//   <package> /USERNAME=Renewel /D=<install directory>
// it brings the install directory to the package's version: difference files
// for engine packages (composed by the package's own copy of Gleaner), other
// files whole, deletions, and the version in the version library's store.
// Exit code 0 only when the new version is in place; the codes of failures
// are listed in delta_install.h.
#include "delta_setup/setup_main.h"

int main(int argc, char** argv) { return delta_install::SetupMain(argc, argv); }
