// What every delta package carries whatever it changes: the setup program,
// and in its payload the patch tool, compressed. Made here as the release
// builder makes it (PayloadWriter, Attach), around an empty change, and
// measured. Run by the test shipped_programs_size:
//
//   fixed_part_size <max bytes> <setup program> <patch tool>
//
// Prints each part and the total; exit code 0 only when the total is at most
// <max bytes>, 1 when it is larger, 2 for a bad command line or a program
// that cannot be read.
#include <cstdio>
#include <string>

#include "delta_setup/delta_format.h"
#include "launcher/release/text.h"
#include "platform/file.h"

namespace {

void Say(const std::string& line) { std::fputs((line + "\n").c_str(), stdout); }

}  // namespace

int main(int argc, char** argv) {
  uint64_t max = 0;
  std::string setup, gleaner;
  if (argc != 4 || !release::ParseDecimal(argv[1], &max, uint64_t{1} << 40)) {
    Say("usage: fixed_part_size <max bytes> <setup program> <patch tool>");
    return 2;
  }
  if (!platform::ReadFileToString(argv[2], &setup) || !platform::ReadFileToString(argv[3], &gleaner) ||
      setup.empty() || gleaner.empty()) {
    Say("cannot read the programs");
    return 2;
  }
  delta_package::PayloadWriter w("1.0.0.0", "0.9.0.0");
  w.SetGleaner(gleaner);
  const std::string package = delta_package::Attach(setup, w.Payload());
  const uint64_t packed = w.manifest().gleaner.size;
  Say(std::to_string(setup.size()) + " bytes: the setup program " + argv[2]);
  Say(std::to_string(gleaner.size()) + " bytes: the patch tool " + argv[3] + ", " + std::to_string(packed) +
      " compressed");
  Say(std::to_string(package.size()) + " bytes: a delta package that changes nothing (the bound: " +
      std::to_string(max) + ")");
  return package.size() <= max ? 0 : 1;
}
