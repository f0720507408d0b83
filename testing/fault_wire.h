// How the helper program fault_server hands a request to the test process:
// one line per request, its fields separated by single spaces:
//
//   <id> <arrival, microseconds since 1970> <arrival, steady clock microseconds>
//   <has_range 0|1> <start> =<range> =<accept> =<user agent> =<path>
//   <has_last 0|1> <last> =<method>
//
// Text fields are marked by '=' (so that an empty one still shows) and
// escaped: '%', blanks, control characters and DEL as %XX.
#ifndef TESTING_FAULT_WIRE_H_
#define TESTING_FAULT_WIRE_H_

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "testing/fault_server.h"

namespace testkit {
namespace fault_wire {

inline std::string Escape(const std::string& s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7F || c == '%') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// False for a malformed escape.
inline bool Unescape(const std::string& s, std::string* out) {
  out->clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      *out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return false;
    int hi = HexDigit(s[i + 1]), lo = HexDigit(s[i + 2]);
    if (hi < 0 || lo < 0) return false;
    *out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

// A clock's time point as microseconds since its epoch, and back.
template <typename TimePoint>
long long Micros(TimePoint t) {
  return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}
template <typename TimePoint>
TimePoint FromMicros(const std::string& text) {
  return TimePoint(std::chrono::duration_cast<typename TimePoint::duration>(
      std::chrono::microseconds(std::strtoll(text.c_str(), nullptr, 10))));
}

inline std::string Encode(uint64_t id, const FaultServer::Request& r) {
  return std::to_string(id) + " " + std::to_string(Micros(r.at)) + " " + std::to_string(Micros(r.arrived)) + " " +
         (r.has_range ? "1" : "0") + " " +
         std::to_string(r.start) + " =" + Escape(r.range) + " =" + Escape(r.accept) + " =" +
         Escape(r.user_agent) + " =" + Escape(r.path) + " " + (r.has_last ? "1" : "0") + " " +
         std::to_string(r.last) + " =" + Escape(r.method);
}

inline bool Decode(const std::string& line, uint64_t* id, FaultServer::Request* r) {
  std::vector<std::string> f;
  size_t from = 0;
  for (;;) {
    size_t sp = line.find(' ', from);
    f.push_back(line.substr(from, sp == std::string::npos ? std::string::npos : sp - from));
    if (sp == std::string::npos) break;
    from = sp + 1;
  }
  if (f.size() != 12) return false;
  for (size_t i : {0, 1, 2, 3, 4, 9, 10}) {
    if (f[i].empty() || f[i].find_first_not_of("-0123456789") != std::string::npos) return false;
  }
  for (size_t i : {5, 6, 7, 8, 11}) {
    if (f[i].empty() || f[i][0] != '=') return false;
  }
  *id = std::strtoull(f[0].c_str(), nullptr, 10);
  r->at = FromMicros<std::chrono::system_clock::time_point>(f[1]);
  r->arrived = FromMicros<std::chrono::steady_clock::time_point>(f[2]);
  r->has_range = f[3] == "1";
  r->start = static_cast<uint32_t>(std::strtoul(f[4].c_str(), nullptr, 10));
  r->has_last = f[9] == "1";
  r->last = static_cast<uint32_t>(std::strtoul(f[10].c_str(), nullptr, 10));
  return Unescape(f[5].substr(1), &r->range) && Unescape(f[6].substr(1), &r->accept) &&
         Unescape(f[7].substr(1), &r->user_agent) && Unescape(f[8].substr(1), &r->path) &&
         Unescape(f[11].substr(1), &r->method);
}

}  // namespace fault_wire
}  // namespace testkit

#endif  // TESTING_FAULT_WIRE_H_
