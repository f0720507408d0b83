// The sample update package: the sample setup program with a payload
// appended. Layout of the file's tail:
//
//   [program bytes][payload][payload size: 8 bytes LE]["RNWLPKG1"]
//
// The payload is a sequence of records, each a line then its data:
//   "version <text>\n"        the version the package produces
//   "cancel\n"                behave as cancelled by the player
//   "file <size> <path>\n"    then <size> bytes, installed at <path> under
//                             the target directory ('/' separates folders)
#ifndef TESTING_SAMPLE_SETUP_PACKAGE_FORMAT_H_
#define TESTING_SAMPLE_SETUP_PACKAGE_FORMAT_H_

#include <cstdint>
#include <string>
#include <vector>

namespace sample_package {

constexpr char kMagic[] = "RNWLPKG1";

struct File {
  std::string path;
  std::string data;
};

struct Payload {
  std::string version;
  bool cancel = false;
  std::vector<File> files;
};

std::string Encode(const Payload& p);
// False when `bytes` holds no well-formed payload. Every size is checked
// against what remains before it is used.
bool Decode(const std::string& bytes, Payload* out);

// Appends the payload and trailer to a program image.
std::string Attach(const std::string& program, const Payload& p);
// Finds the payload at the end of a package file's bytes.
bool Detach(const std::string& package, Payload* out);

}  // namespace sample_package

#endif  // TESTING_SAMPLE_SETUP_PACKAGE_FORMAT_H_
