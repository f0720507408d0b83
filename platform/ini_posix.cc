// The profile functions over plain files. Lines end in CR LF when written, as
// the Windows functions write them; either ending is read.
#include <strings.h>

#include <vector>

#include "platform/file.h"
#include "platform/ini.h"

namespace platform {
namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
  return s.substr(b, e - b);
}

bool SameText(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      size_t end = (i > start && text[i - 1] == '\r') ? i - 1 : i;
      lines.push_back(text.substr(start, end - start));
      start = i + 1;
    }
  }
  if (start < text.size()) {
    std::string last = text.substr(start);
    if (!last.empty() && last.back() == '\r') last.pop_back();
    lines.push_back(last);
  }
  return lines;
}

// "[name]" gives name; anything else is not a section header.
bool SectionName(const std::string& line, std::string* name) {
  std::string t = Trim(line);
  if (t.size() < 2 || t[0] != '[') return false;
  size_t close = t.find(']');
  if (close == std::string::npos) return false;
  *name = Trim(t.substr(1, close - 1));
  return true;
}

bool KeyValue(const std::string& line, std::string* key, std::string* value) {
  std::string t = Trim(line);
  if (t.empty() || t[0] == ';') return false;
  size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  *key = Trim(t.substr(0, eq));
  *value = Trim(t.substr(eq + 1));
  return true;
}

bool Lookup(const std::string& section, const std::string& key, const std::string& path, std::string* value) {
  std::string text;
  if (!ReadFileToString(path, &text)) return false;
  bool in_section = false;
  for (const std::string& line : SplitLines(text)) {
    std::string name, k, v;
    if (SectionName(line, &name)) {
      if (in_section) return false;  // only the first section of that name is read
      in_section = SameText(name, section);
      continue;
    }
    if (in_section && KeyValue(line, &k, &v) && SameText(k, key)) {
      *value = v;
      return true;
    }
  }
  return false;
}

}  // namespace

int ProfileInt(const std::string& section, const std::string& key, int def, const std::string& path) {
  std::string v;
  if (!Lookup(section, key, path, &v) || v.empty()) return def;
  return ParseProfileInt(v);
}

std::string ProfileString(const std::string& section, const std::string& key, const std::string& def,
                             const std::string& path, size_t buffer_size) {
  std::string v;
  if (!Lookup(section, key, path, &v)) {
    v = Trim(def);
  } else if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  if (buffer_size == 0) return std::string();
  if (v.size() > buffer_size - 1) v.resize(buffer_size - 1);
  return v;
}

bool SetProfileString(const std::string& section, const std::string& key, const std::string& value,
                        const std::string& path) {
  std::string text;
  ReadFileToString(path, &text);
  std::vector<std::string> lines = SplitLines(text);
  const std::string entry = key + "=" + value;

  int section_at = -1, insert_at = -1;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string name, k, v;
    if (SectionName(lines[i], &name)) {
      if (section_at >= 0) break;
      if (SameText(name, section)) section_at = static_cast<int>(i), insert_at = static_cast<int>(i) + 1;
      continue;
    }
    if (section_at >= 0) {
      if (KeyValue(lines[i], &k, &v) && SameText(k, key)) {
        lines[i] = entry;
        section_at = -2;  // replaced
        break;
      }
      if (!Trim(lines[i]).empty()) insert_at = static_cast<int>(i) + 1;
    }
  }
  if (section_at == -1) {
    lines.push_back("[" + section + "]");
    lines.push_back(entry);
  } else if (section_at >= 0) {
    lines.insert(lines.begin() + insert_at, entry);
  }
  std::string out;
  for (const std::string& l : lines) out += l + "\r\n";
  std::string tmp = path + ".tmp~";
  if (!WriteStringToFile(tmp, out)) return false;
  if (!RenameFile(tmp, path)) {
    RemoveFile(tmp);
    return false;
  }
  return true;
}

}  // namespace platform
