// The resource library on Windows holds its resources natively; this is its
// code section. When the library is loaded it applies the string overrides
// of Quillfen.ini beside it (see strings.h) to its own string table, so that
// the ordinary string loading of whoever loaded it finds them: each string
// block that has an override is rebuilt in a buffer inside the module image,
// and the block's resource data entry is pointed at it.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "testing/resources/overrides.h"

namespace {

// Room for rebuilt string blocks (16 counted UTF-16 strings each). It lies in
// the module image, so that its offset from the module base is a valid
// resource address.
alignas(16) unsigned char g_blocks[256 * 1024];
size_t g_blocks_used = 0;

// The resource data entry of string block `block` (its first language), or
// null when the module has no such block.
IMAGE_RESOURCE_DATA_ENTRY* FindStringBlock(unsigned char* base, WORD block) {
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE];
  if (dir.VirtualAddress == 0) return nullptr;
  unsigned char* root = base + dir.VirtualAddress;
  auto* level = reinterpret_cast<IMAGE_RESOURCE_DIRECTORY*>(root);
  const WORD wanted[2] = {6 /* string table */, block};
  for (int depth = 0; depth < 3; ++depth) {
    auto* entries = reinterpret_cast<IMAGE_RESOURCE_DIRECTORY_ENTRY*>(level + 1);
    const int count = level->NumberOfNamedEntries + level->NumberOfIdEntries;
    IMAGE_RESOURCE_DIRECTORY_ENTRY* hit = nullptr;
    for (int i = 0; i < count && !hit; ++i) {
      if (depth == 2 || (!entries[i].NameIsString && entries[i].Id == wanted[depth])) hit = &entries[i];
    }
    if (!hit) return nullptr;
    if (depth < 2) {
      if (!hit->DataIsDirectory) return nullptr;
      level = reinterpret_cast<IMAGE_RESOURCE_DIRECTORY*>(root + hit->OffsetToDirectory);
    } else {
      if (hit->DataIsDirectory) return nullptr;
      return reinterpret_cast<IMAGE_RESOURCE_DATA_ENTRY*>(root + hit->OffsetToData);
    }
  }
  return nullptr;
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

// Rebuilds block `block` with the overrides that fall into it.
void ApplyBlock(unsigned char* base, WORD block, const std::vector<quillfen::StringOverride>& overrides) {
  IMAGE_RESOURCE_DATA_ENTRY* entry = FindStringBlock(base, block);
  if (!entry) return;
  // The block's 16 strings as they are.
  std::wstring strings[16];
  const auto* p = reinterpret_cast<const WCHAR*>(base + entry->OffsetToData);
  const WCHAR* end = p + entry->Size / sizeof(WCHAR);
  for (int i = 0; i < 16 && p < end; ++i) {
    size_t n = *p++;
    if (n > static_cast<size_t>(end - p)) return;  // malformed: leave the block alone
    strings[i].assign(p, n);
    p += n;
  }
  for (const quillfen::StringOverride& o : overrides) {
    if (static_cast<WORD>(o.id / 16 + 1) == block) strings[o.id % 16] = Widen(o.text).substr(0, 0xFFFF);
  }
  std::vector<WCHAR> rebuilt;
  for (const std::wstring& s : strings) {
    rebuilt.push_back(static_cast<WCHAR>(s.size()));
    rebuilt.insert(rebuilt.end(), s.begin(), s.end());
  }
  const size_t bytes = rebuilt.size() * sizeof(WCHAR);
  if (bytes > sizeof g_blocks - g_blocks_used) return;
  unsigned char* dest = g_blocks + g_blocks_used;
  std::memcpy(dest, rebuilt.data(), bytes);
  g_blocks_used += (bytes + 15) & ~size_t{15};
  DWORD old = 0;
  if (!VirtualProtect(entry, sizeof *entry, PAGE_READWRITE, &old)) return;
  entry->OffsetToData = static_cast<DWORD>(dest - base);
  entry->Size = static_cast<DWORD>(bytes);
  VirtualProtect(entry, sizeof *entry, old, &old);
}

void ApplyOverrides(HINSTANCE instance) {
  const std::vector<quillfen::StringOverride> overrides = quillfen::ReadStringOverrides(&g_blocks);
  std::vector<WORD> done;
  for (const quillfen::StringOverride& o : overrides) {
    const WORD block = static_cast<WORD>(o.id / 16 + 1);
    bool seen = false;
    for (WORD d : done) seen = seen || d == block;
    if (seen) continue;
    done.push_back(block);
    ApplyBlock(reinterpret_cast<unsigned char*>(instance), block, overrides);
  }
}

}  // namespace

extern "C" int QuillfenResourceLibrary() { return 1; }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) ApplyOverrides(instance);
  return TRUE;
}
