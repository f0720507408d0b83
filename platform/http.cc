#include "platform/http.h"

#include <cctype>

namespace platform {

bool ParseHttpUrl(const std::string& url, HttpUrl* out) {
  size_t colon = url.find("://");
  if (colon == std::string::npos || colon == 0) return false;
  std::string scheme = url.substr(0, colon);
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  uint16_t port;
  if (scheme == "http") {
    port = 80;
  } else if (scheme == "https") {
    port = 443;
  } else {
    return false;
  }
  size_t host_begin = colon + 3;
  size_t host_end = url.find_first_of("/?#", host_begin);
  if (host_end == std::string::npos) host_end = url.size();
  std::string authority = url.substr(host_begin, host_end - host_begin);
  size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  std::string server = authority;
  size_t port_colon = authority.rfind(':');
  if (port_colon != std::string::npos && authority.find(']', port_colon) == std::string::npos) {
    std::string digits = authority.substr(port_colon + 1);
    server = authority.substr(0, port_colon);
    if (digits.empty() || digits.size() > 5) return false;
    uint32_t value = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<uint16_t>(value);
  }
  if (server.empty()) return false;
  out->scheme = scheme;
  out->server = server;
  std::string object = host_end < url.size() ? url.substr(host_end) : std::string();
  out->object = object.empty() || object[0] != '/' ? "/" + object : object;
  out->port = port;
  return true;
}

}  // namespace platform
