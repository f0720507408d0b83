// The writer's side of release packages (delta_format.h): the payload, the
// trailer and the compressor. Apart from the reader (delta_format.cc) so
// that the setup program, which only reads packages, links no compressor.
#include "delta_setup/delta_format.h"

#include <zlib.h>

#include <string>

namespace delta_package {

PayloadWriter::PayloadWriter(std::string version, std::string from) {
  m_.version = std::move(version);
  m_.from = std::move(from);
}

void PayloadWriter::AddInput(const std::string& path, const std::string& sha256) { m_.inputs.emplace_back(path, sha256); }

void PayloadWriter::AddOutput(const std::string& path, const std::string& sha256, bool executable) {
  m_.outputs.push_back({path, sha256, executable});
}

void PayloadWriter::AddDelete(const std::string& path) { m_.deletes.push_back(path); }

void PayloadWriter::SetGleaner(const std::string& program) {
  const std::string packed = Compress(program);
  m_.has_gleaner = true;
  m_.gleaner = {blobs_.size(), packed.size(), program.size()};
  blobs_ += packed;
}

void PayloadWriter::AddPatch(const std::string& path, std::string diff) {
  m_.patches.emplace_back(path, Blob{blobs_.size(), diff.size(), diff.size()});
  blobs_ += diff;
}

void PayloadWriter::AddWhole(const std::string& path, const std::string& data) {
  const std::string packed = Compress(data);
  m_.wholes.emplace_back(path, Blob{blobs_.size(), packed.size(), data.size()});
  blobs_ += packed;
}

void PayloadWriter::AddBinaryDiff(const std::string& path, std::string diff) {
  m_.bdiffs.emplace_back(path, Blob{blobs_.size(), diff.size(), diff.size()});
  blobs_ += diff;
}

std::string PayloadWriter::Payload() const {
  // Plain string building: the setup program links no stream library.
  const auto n = [](uint64_t v) { return std::to_string(v); };
  std::string o = "RNWL-DELTA 1\nversion " + m_.version + "\n";
  if (!m_.from.empty()) o += "from " + m_.from + "\n";
  for (auto& [path, sha] : m_.inputs) o += "input " + sha + " " + path + "\n";
  for (const Output& out : m_.outputs) o += "output " + out.sha256 + (out.executable ? " x " : " - ") + out.path + "\n";
  for (const std::string& d : m_.deletes) o += "delete " + d + "\n";
  if (m_.has_gleaner)
    o += "gleaner " + n(m_.gleaner.offset) + " " + n(m_.gleaner.size) + " " + n(m_.gleaner.raw) + "\n";
  for (auto& [path, b] : m_.patches) o += "patch " + n(b.offset) + " " + n(b.size) + " " + path + "\n";
  for (auto& [path, b] : m_.wholes) o += "whole " + n(b.offset) + " " + n(b.size) + " " + n(b.raw) + " " + path + "\n";
  for (auto& [path, b] : m_.bdiffs) o += "bdiff " + n(b.offset) + " " + n(b.size) + " " + path + "\n";
  o += "end\n";
  return o + blobs_;
}

std::string Attach(const std::string& program, const std::string& payload) {
  std::string out = program + payload;
  const uint64_t n = payload.size();
  for (int i = 0; i < 8; ++i) out += static_cast<char>((n >> (8 * i)) & 0xFF);
  out.append(kMagic, 8);
  return out;
}

std::string Compress(const std::string& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(data.data()),
                static_cast<uLong>(data.size()), 9) != Z_OK)
    return std::string();
  out.resize(size);
  return out;
}

}  // namespace delta_package
