#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>

#include "platform/owner_file.h"

namespace platform {
namespace {

// The current user's SID as text ("S-1-5-..."), or empty.
std::string CurrentUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::string();
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::unique_ptr<char[]> buffer(new char[size ? size : 1]);
  std::string text;
  if (size && GetTokenInformation(token, TokenUser, buffer.get(), size, &size)) {
    char* sid_text = nullptr;
    if (ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid, &sid_text)) {
      text = sid_text;
      LocalFree(sid_text);
    }
  }
  CloseHandle(token);
  return text;
}

}  // namespace

bool CreateOwnerOnlyFile(const std::string& path, const std::string& data) {
  const std::string sid = CurrentUserSid();
  if (sid.empty()) return false;
  // Protected (nothing inherited), full access for this user alone.
  const std::string sddl = "D:P(A;;FA;;;" + sid + ")";
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr)) return false;
  SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, &sa, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  LocalFree(sd);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  size_t done = 0;
  while (ok && done < data.size()) {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1 << 20));
    ok = WriteFile(h, data.data() + done, want, &n, nullptr) && n > 0;
    done += n;
  }
  if (!CloseHandle(h)) ok = false;
  if (!ok) DeleteFileA(path.c_str());
  return ok;
}

namespace {

// The DACL of `path` as SDDL text, or empty.
std::string AccessListText(const std::string& path) {
  DWORD size = 0;
  GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  if (size == 0) return std::string();
  std::unique_ptr<char[]> buffer(new char[size]);
  if (!GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, buffer.get(), size, &size)) return std::string();
  char* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(buffer.get(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                            &text, nullptr))
    return std::string();
  std::string out = text;
  LocalFree(text);
  return out;
}

}  // namespace

bool KeepsOwnerOnlyProtection(const std::string& dir, std::string* why) {
  const std::string sid = CurrentUserSid();
  if (sid.empty()) {
    *why = "the current user's SID is unknown";
    return false;
  }
  const std::string probe = dir + "\\owner-probe-" + std::to_string(GetCurrentProcessId()) + ".tmp";
  HANDLE h = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *why = "cannot make a probe file in " + dir;
    return false;
  }
  CloseHandle(h);
  const std::string written = "D:P(A;;FA;;;" + sid + ")";
  PSECURITY_DESCRIPTOR sd = nullptr;
  bool set = ConvertStringSecurityDescriptorToSecurityDescriptorA(written.c_str(), SDDL_REVISION_1, &sd, nullptr);
  if (set) {
    set = SetFileSecurityA(probe.c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, sd);
    LocalFree(sd);
  }
  const std::string back = set ? AccessListText(probe) : std::string();
  DeleteFileA(probe.c_str());
  // The protection flag aside, the one entry must come back as it went.
  const std::string unprotected = "D:(A;;FA;;;" + sid + ")";
  if (set && (back == written || back == unprotected)) return true;
  *why = set ? "the access list " + written + " was written, " + back + " came back" : "the access list was refused";
  return false;
}

bool IsOwnerOnlyFile(const std::string& path) {
  const std::string sid = CurrentUserSid();
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (sid.empty() || GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                           &dacl, nullptr, &sd) != ERROR_SUCCESS)
    return false;
  bool ok = dacl != nullptr && dacl->AceCount > 0;  // a null list grants everyone everything
  for (DWORD i = 0; ok && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) {
      ok = false;
      break;
    }
    if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    char* ace_sid = nullptr;
    if (!ConvertSidToStringSidA(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, &ace_sid)) {
      ok = false;
      break;
    }
    ok = sid == ace_sid;
    LocalFree(ace_sid);
  }
  LocalFree(sd);
  return ok;
}

bool IsOwnUnchanged(const std::string& path, bool directory, std::string* why) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    *why = "cannot be examined";
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    *why = "is a link or junction";
    return false;
  }
  if (((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != directory) {
    *why = directory ? "is not a directory" : "is not a regular file";
    return false;
  }
  const std::string sid = CurrentUserSid();
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (sid.empty() || GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                           &dacl, nullptr, &sd) != ERROR_SUCCESS) {
    *why = "cannot read its owner and access list";
    return false;
  }
  auto trusted = [&](PSID who, std::string* text) {
    char* t = nullptr;
    if (!who || !ConvertSidToStringSidA(who, &t)) return false;
    *text = t;
    LocalFree(t);
    return *text == sid || *text == "S-1-5-18" || *text == "S-1-5-32-544";
  };
  std::string who;
  bool ok = trusted(owner, &who);
  if (!ok) *why = "is owned by " + (who.empty() ? std::string("someone unknown") : who) + ", not by this user";
  if (ok && dacl == nullptr) {
    ok = false;
    *why = "has no access list, which lets everyone change it";
  }
  // Rights that change the file, its name, its access list or its owner.
  const ACCESS_MASK kChanges = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                               FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  for (DWORD i = 0; ok && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) {
      ok = false;
      *why = "cannot read its access list";
      break;
    }
    if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->AceFlags & (INHERITED_ACE | INHERIT_ONLY_ACE))) continue;
    auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
    if ((allowed->Mask & kChanges) == 0 || trusted(&allowed->SidStart, &who)) continue;
    ok = false;
    *why = "has an access list that lets " + who + " change it";
  }
  LocalFree(sd);
  return ok;
}

bool MakeOwnUnchangedDirectory(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }

bool IsPrivateFile(const std::string& path, std::string* why) {
  const std::string sid = CurrentUserSid();
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (sid.empty() || GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                           &dacl, nullptr, &sd) != ERROR_SUCCESS) {
    *why = "cannot read its access list";
    return false;
  }
  bool ok = true;
  if (dacl == nullptr) {
    ok = false;
    *why = "it has no access list, which lets everyone open it";
  }
  for (DWORD i = 0; ok && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) {
      ok = false;
      *why = "cannot read its access list";
      break;
    }
    if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    PSID ace_psid = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
    char* ace_sid = nullptr;
    if (!ConvertSidToStringSidA(ace_psid, &ace_sid)) {
      ok = false;
      *why = "cannot read its access list";
      break;
    }
    const std::string entry = ace_sid;
    LocalFree(ace_sid);
    if (entry == sid || entry == "S-1-5-18" || entry == "S-1-5-32-544") continue;
    ok = false;
    // The account's name where the system knows it.
    char name[256], domain[256];
    DWORD name_size = sizeof name, domain_size = sizeof domain;
    SID_NAME_USE use;
    if (LookupAccountSidA(nullptr, ace_psid, name, &name_size, domain, &domain_size, &use))
      *why = "the access list allows " + std::string(name) + " (" + entry + ")";
    else
      *why = "the access list allows " + entry;
  }
  LocalFree(sd);
  return ok;
}

bool GrantOthersAccess(const std::string& path, bool write) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sid_size = sizeof sid;
  if (!CreateWellKnownSid(WinWorldSid, nullptr, sid, &sid_size)) return false;
  PACL old_list = nullptr, new_list = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &old_list,
                            nullptr, &sd) != ERROR_SUCCESS)
    return false;
  EXPLICIT_ACCESSA entry{};
  entry.grfAccessPermissions = write ? GENERIC_ALL : GENERIC_READ;
  entry.grfAccessMode = GRANT_ACCESS;
  entry.grfInheritance = NO_INHERITANCE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  entry.Trustee.ptstrName = reinterpret_cast<LPSTR>(sid);
  bool ok = SetEntriesInAclA(1, &entry, old_list, &new_list) == ERROR_SUCCESS &&
            SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, new_list, nullptr) == ERROR_SUCCESS;
  if (new_list) LocalFree(new_list);
  LocalFree(sd);
  return ok;
}

std::string MakePrivateCommand(const std::string& path) {
  return "icacls \"" + path + "\" /inheritance:r /grant:r \"%USERNAME%:F\" (and remove any other user it still lists)";
}

}  // namespace platform
