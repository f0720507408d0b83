// publish status: what a client sees of a published tree.
#include <algorithm>
#include <tuple>

#include "launcher/markup/markup_document.h"
#include "launcher/release/text.h"
#include "launcher/release/version_documents.h"
#include "platform/env.h"
#include "platform/file.h"
#include "platform/path.h"
#include "publisher/publish/publisher.h"

namespace publisher {
namespace {

// -1, 0 or 1 as a is older, the same or newer than b; 2 when either is no
// version text.
int Compare(const std::string& a, const std::string& b) {
  std::vector<uint64_t> x, y;
  if (!ParseVersion(a, &x) || !ParseVersion(b, &y)) return 2;
  return x < y ? -1 : x == y ? 0 : 1;
}

// "serial S, expires E (in N days)" for a latest-version.xml's dates.
std::string Dates(const release::LatestVersion& doc) {
  std::string out = "serial " + doc.serial.value_or("(none)") + ", expires ";
  int64_t at = 0;
  if (!doc.expires) return out + "(never: an undated tree)";
  out += *doc.expires;
  if (!release::ParseUtcTime(*doc.expires, &at)) return out + " (not a time of the form YYYY-MM-DDTHH:MM:SSZ)";
  const int64_t left = at - platform::CurrentEnv().NowSeconds();
  if (left <= 0) return out + " (EXPIRED: launchers with keys refuse the tree; publish refresh renews it)";
  // Rounded: a tree published for 7 days shows "in 7 days" for a while.
  if (left >= 36 * 3600) return out + " (in " + std::to_string((left + 43200) / 86400) + " days)";
  return out + " (in " + std::to_string((left + 1800) / 3600) + " hours)";
}

// Every element of latest-version.xml besides the three this tool reads,
// by name and text, in document order.
std::vector<std::pair<std::string, std::string>> OtherElements(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> out;
  MarkupDocument doc;
  doc.SetDoc(text.c_str());
  while (doc.FindElem()) {
    const std::string name = doc.GetTagName();
    if (name != "lastversionnum" && name != "serial" && name != "expires") out.emplace_back(name, doc.GetData());
  }
  return out;
}

// The last part of an address.
std::string NameOf(const std::string& url) {
  const size_t at = url.find_last_of("/\\");
  return at == std::string::npos ? url : url.substr(at + 1);
}

// The bytes of a package a version.xml names: the published size when it
// has one, else the size of the file under packages/ in the tree. -1 when
// neither is known.
int64_t PackageBytes(const std::string& root, const std::string& url, const std::optional<std::string>& size) {
  uint64_t n = 0;
  if (size && release::ParseDecimal(*size, &n, INT64_MAX)) return static_cast<int64_t>(n);
  const size_t at = url.rfind("packages/");
  if (at == std::string::npos || url.find("..", at) != std::string::npos) return -1;
  std::string rel = url.substr(at);
  for (char& c : rel)
    if (c == '/') c = platform::kPathSep;
  return platform::FileSize(root + rel);
}

std::string Bytes(int64_t n) { return n < 0 ? std::string("size unknown (not in the tree)") : std::to_string(n) + " bytes"; }

// The route from version `start` to `newest` along the version.xml
// documents: a summary line and one line per step.
void Route(const std::string& root, const std::string& start, const std::string& newest,
           std::vector<std::string>* lines) {
  std::vector<std::string> steps;
  std::string path_text = start, cur = start, stop;
  int64_t total = 0;
  bool all_known = true;
  // Each step must raise the version, so the walk ends; the bound is for a
  // tree of unreadable names.
  for (int guard = 0; guard < 10000; ++guard) {
    const int c = Compare(cur, newest);
    if (c == 0) break;
    if (c == 1) {
      stop = cur + " is newer than the newest version";
      break;
    }
    const std::string shown = cur + "/" + release::kVersionInfoFile;
    std::string text;
    release::VersionInfo info;
    if (!platform::ReadFileToString(platform::JoinPath(root + cur, release::kVersionInfoFile), &text)) {
      stop = "stops at " + cur + ": no " + shown;
      break;
    }
    if (!release::ParseVersionInfo(text, &info) || !info.versionnum || !info.packageurl) {
      stop = "stops at " + cur + ": " + shown + " names no versionnum and packageurl";
      break;
    }
    if (Compare(*info.versionnum, cur) != 1) {
      stop = "stops at " + cur + ": " + shown + " names " + *info.versionnum + ", which is not newer";
      break;
    }
    const int64_t bytes = PackageBytes(root, *info.packageurl, info.packagesize);
    all_known = all_known && bytes >= 0;
    if (bytes > 0) total += bytes;
    std::string step = "  " + cur + " -> " + *info.versionnum + ": " + NameOf(*info.packageurl) + " " + Bytes(bytes);
    if (info.fullpackageurl) {
      step += "; full fallback " + NameOf(*info.fullpackageurl) + " " +
              Bytes(PackageBytes(root, *info.fullpackageurl, info.fullpackagesize));
    } else {
      step += "; no full fallback";
    }
    steps.push_back(step);
    cur = *info.versionnum;
    path_text += " -> " + cur;
  }
  std::string line = "from " + start + ": ";
  if (stop.empty() && steps.empty()) {
    line += "the newest version already";
  } else if (stop.empty()) {
    line += path_text + ", " + std::to_string(steps.size()) + (steps.size() == 1 ? " package, " : " packages, ") +
            (all_known ? "" : "at least ") + std::to_string(total) + " bytes";
  } else {
    line += path_text + ", does not reach " + newest + ": " + stop;
  }
  lines->push_back(line);
  lines->insert(lines->end(), steps.begin(), steps.end());
}

}  // namespace

bool TreeStatus(const std::string& out_dir, std::vector<std::string>* lines, std::string* error) {
  const std::string root = platform::JoinPath(out_dir, "");
  std::string text;
  release::LatestVersion latest;
  if (!ReadTreeLatest(root, &latest, &text)) {
    *error = "no readable latest-version.xml in " + out_dir;
    return false;
  }
  lines->push_back("newest " + latest.lastversionnum + "  " + Dates(latest));
  for (const auto& [name, value] : OtherElements(text)) lines->push_back(name + " " + value);

  std::vector<platform::DirEntry> entries;
  platform::ListDirectory(root, &entries);
  std::vector<std::string> starts, channels;
  for (const platform::DirEntry& e : entries) {
    if (!e.is_directory || e.name.empty() || e.name[0] == '.' || e.name == "packages") continue;
    if (platform::Exists(platform::JoinPath(root + e.name, release::kLatestVersionFile))) channels.push_back(e.name);
    else if (platform::Exists(platform::JoinPath(root + e.name, release::kVersionInfoFile))) starts.push_back(e.name);
  }
  std::sort(channels.begin(), channels.end());
  for (const std::string& c : channels) {
    release::LatestVersion doc;
    if (!ReadTreeLatest(root + c, &doc, &text)) {
      lines->push_back("channel " + c + ": latest-version.xml unreadable");
      continue;
    }
    std::string line = "channel " + c + ": newest " + doc.lastversionnum + "  " + Dates(doc);
    for (const auto& [name, value] : OtherElements(text)) line += ", " + name + " " + value;
    lines->push_back(line);
  }
  // Oldest first; names that are no version after them.
  auto key = [](const std::string& name) {
    std::vector<uint64_t> parts;
    const bool version = ParseVersion(name, &parts);
    return std::make_tuple(!version, parts, name);
  };
  std::sort(starts.begin(), starts.end(), [&](const std::string& a, const std::string& b) { return key(a) < key(b); });
  if (starts.empty()) lines->push_back("no version.xml: no client can update from this tree");
  for (const std::string& s : starts) Route(root, s, latest.lastversionnum, lines);
  return true;
}

}  // namespace publisher
