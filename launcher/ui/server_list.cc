#include "launcher/ui/server_list.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "launcher/log/logger.h"
#include "launcher/ui/latency_probe.h"
#include "platform/ini.h"

std::string SelectedServerSection;

namespace {

const char kListSection[] = "ServerSection";
const char kLastServerKey[] = "LastServer";
// Buffer sizes of the values, terminator included.
constexpr size_t kTextBuffer = 100;
constexpr size_t kAddressBuffer = 20;
constexpr size_t kPathBuffer = 260;
// A list value shorter than this ends the list.
constexpr size_t kMinSectionName = 2;

const char kRangeError[] = "pUniteZone range error.";

// The leading integer of a text, as atoi reads it, held to the range of int.
int LeadingInteger(const std::string& text) {
  long v = std::strtol(text.c_str(), nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

}  // namespace

std::string ServerList::ListFilePath(const std::string& exe_directory, const std::string& file_name) {
  std::string game_dir = exe_directory.size() > 5 ? exe_directory.substr(0, exe_directory.size() - 5) : "";
  std::string path = game_dir + file_name;
  if (path.size() > kPathBuffer - 1) path.resize(kPathBuffer - 1);
  return path;
}

std::string ServerList::LatencyLabel(const std::string& text, int latency) {
  char buf[kTextBuffer + 32];
  if (latency < 0 || latency >= 999999) {
    std::snprintf(buf, sizeof buf, "%s Unknown", text.c_str());
  } else if (latency < 100) {
    std::snprintf(buf, sizeof buf, "%s %3dPin Good", text.c_str(), latency);
  } else if (latency < 200) {
    std::snprintf(buf, sizeof buf, "%s %3dPin Medium", text.c_str(), latency);
  } else {
    std::snprintf(buf, sizeof buf, "%s %3dPin Bad", text.c_str(), latency > 999 ? 999 : latency);
  }
  return buf;
}

ServerList::ServerList(std::string path, const std::string& area_id, ServerListObserver* observer)
    : path_(std::move(path)), observer_(observer) {
  if (!area_id.empty()) {
    fixed_mode_ = true;
    fixed_number_ = LeadingInteger(area_id);
  }
}

std::string ServerList::ReadListKey(int n) const {
  return platform::ProfileString(kListSection, "Server" + std::to_string(n), "", path_, kTextBuffer);
}

std::string ServerList::ReadShowText(const std::string& section) const {
  return platform::ProfileString(section, "ShowText", "", path_, kTextBuffer);
}

void ServerList::StoreSlot(int n, const std::string& section, const std::string& text) {
  ServerEntry& e = slots_[n];
  e.section = section;
  e.text = text;
  e.label.clear();
  if (text.empty()) return;
  int latency = ProbeResults[n].load(std::memory_order_relaxed);
  if (latency > 999 && latency < 999999) ProbeResults[n].store(999, std::memory_order_relaxed);
  e.label = LatencyLabel(text, latency);
}

void ServerList::RangeError(bool at_startup, bool notify) {
  LogInfo() << kRangeError;
  if (notify && observer_) observer_->FixedServerError(at_startup);
}

void ServerList::LoadEntries(bool at_startup) {
  for (ServerEntry& e : slots_) e = ServerEntry();
  if (fixed_mode_) {
    LoadFixed(at_startup);
    return;
  }
  for (int n = 0; n < kMaxListEntries; ++n) {
    std::string section = ReadListKey(n);
    if (section.size() < kMinSectionName) break;
    std::string text = ReadShowText(section);
    LogInfo() << "PING MSG--: " << ProbeResults[n].load(std::memory_order_relaxed);
    if (n >= kSlotCount) break;
    StoreSlot(n, section, text);
  }
}

void ServerList::LoadFixed(bool at_startup) {
  const int n = fixed_number_;
  if (n < 0) return RangeError(at_startup, true);
  std::string section = ReadListKey(n);
  if (section.size() < kMinSectionName) return RangeError(at_startup, true);
  std::string text = ReadShowText(section);
  if (n < kSlotsPerZone) {
    StoreSlot(n, section, text);
    if (!at_startup) LogInfo() << "m_listCNCZone1 show. pUniteZone " << n;
  } else if (n < kSlotCount) {
    StoreSlot(n, section, text);
    if (!at_startup) LogInfo() << "m_listTelecomZone1 show. pUniteZone " << n;
  } else if (!at_startup) {
    LogInfo() << "m_list??? show. pUniteZone " << n;
  }
  if (!at_startup) LogInfo() << "RefreshList In RefreshSection A";
}

void ServerList::RestoreSelection() {
  const std::string last = platform::ProfileString(kListSection, kLastServerKey, "", path_, kTextBuffer);
  int remembered = -1;
  if (!last.empty() && last.back() >= '0' && last.back() <= '9') remembered = last.back() - '0' - 1;

  if (fixed_mode_) {
    const int n = fixed_number_;
    if (n < 0) return RangeError(false, true);
    if (n < kSlotsPerZone) {
      LogInfo() << "m_listCNCZone1 show. pUniteZone " << n;
      LogInfo() << "RefreshList In InitUI A";
      Select(0, remembered);
    } else if (n < kSlotCount) {
      LogInfo() << "m_listTelecomZone1 show. pUniteZone " << n;
      LogInfo() << "RefreshList In InitUI A";
      Select(1, remembered);
    } else {
      LogInfo() << "RefreshList In InitUI A Default";
      Select(0, 0);
    }
    return;
  }
  if (!last.empty() && last[0] == 'C' && remembered >= 0) {
    LogInfo() << "RefreshList In InitUI B";
    Select(0, remembered);
  } else if (!last.empty() && last[0] == 'T' && remembered >= 0) {
    LogInfo() << "RefreshList In InitUI B";
    Select(1, remembered);
  } else {
    LogInfo() << "RefreshList In InitUI B Default";
    Select(0, 0);
  }
}

void ServerList::Select(int zone, int slot) {
  if (zone != -1) zone_ = (zone == 0 || zone == 1) ? zone : 0;
  if (slot != -1) {
    int s = Zone() * kSlotsPerZone + slot;
    slot_ = (s >= 0 && s < kSlotCount) ? s : 0;
  }
  SelectedServerSection = slots_[slot_].section;
  if (observer_) observer_->ReshowButtons();
}

bool ServerList::LookupServer(std::string* address, int* port) {
  if (!fixed_mode_) {
    platform::SetProfileString(kListSection, kLastServerKey, SelectedServerSection, path_);
  } else {
    const int n = fixed_number_;
    std::string section = n < 0 ? std::string() : ReadListKey(n);
    if (section.size() < kMinSectionName) {
      RangeError(false, false);
      return false;
    }
    SelectedServerSection = section;
  }
  *address = platform::ProfileString(SelectedServerSection, "BishopIP", "", path_, kAddressBuffer);
  *port = platform::ProfileInt(SelectedServerSection, "BishopPort", 0, path_);
  return true;
}

int ServerList::StartLatencyProbes(const std::function<int(const std::string&)>& start) {
  int n = 0;
  for (; n < kMaxListEntries; ++n) {
    std::string section = ReadListKey(n);
    if (section.size() < kMinSectionName) break;
    std::string address = platform::ProfileString(section, "BishopIP", "", path_, kAddressBuffer);
    ProbeResults[n].store(-1, std::memory_order_relaxed);
    start(address + " " + std::to_string(n));
  }
  return n;
}
