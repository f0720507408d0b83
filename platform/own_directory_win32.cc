#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <string>

#include "platform/own_directory.h"

namespace platform {
namespace {

// Rights that let a holder plant, replace or remove entries of a directory,
// or take it over.
constexpr DWORD kWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                               WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

// The TOKEN_USER or TOKEN_OWNER record of this process, or null.
std::unique_ptr<char[]> TokenRecord(TOKEN_INFORMATION_CLASS what) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  DWORD size = 0;
  GetTokenInformation(token, what, nullptr, 0, &size);
  std::unique_ptr<char[]> record(size ? new char[size] : nullptr);
  if (!record || !GetTokenInformation(token, what, record.get(), size, &size)) record.reset();
  CloseHandle(token);
  return record;
}

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return "an unknown account";
  std::string out = text;
  LocalFree(text);
  return out;
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) { return IsWellKnownSid(sid, type) != FALSE; }

// TrustedInstaller, which owns the system's own folders.
bool IsTrustedInstaller(PSID sid) {
  return SidText(sid) == "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
}

}  // namespace

OwnDirectory CheckOwnDirectory(const std::string& path, std::string* why) {
  const std::string p = WithoutTrailingSeparators(path);
  const DWORD attributes = GetFileAttributesA(p.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return OwnDirectory::kMissing;
    *why = "cannot be examined (system error " + std::to_string(error) + ")";
    return OwnDirectory::kRefused;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    *why = "is a link or junction";
    return OwnDirectory::kRefused;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *why = "is not a directory";
    return OwnDirectory::kRefused;
  }
  std::unique_ptr<char[]> user = TokenRecord(TokenUser);
  std::unique_ptr<char[]> default_owner = TokenRecord(TokenOwner);
  PSID me = user ? reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid : nullptr;
  PSID my_default = default_owner ? reinterpret_cast<TOKEN_OWNER*>(default_owner.get())->Owner : nullptr;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!me || GetNamedSecurityInfoA(p.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                   &owner, nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS) {
    *why = "has an owner and access list that cannot be read";
    return OwnDirectory::kRefused;
  }
  std::unique_ptr<void, decltype(&LocalFree)> hold(sd, &LocalFree);
  // What this process creates is owned by its token's default owner: the
  // user, or the administrators when it runs elevated.
  if (!owner || !(EqualSid(owner, me) || (my_default && EqualSid(owner, my_default)))) {
    *why = "belongs to " + (owner ? SidText(owner) : std::string("no one")) + ", not to the player (" + SidText(me) + ")";
    return OwnDirectory::kRefused;
  }
  if (!dacl) {
    *why = "has no access list: everyone may change it";
    return OwnDirectory::kRefused;
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) {
      *why = "has an access list that cannot be read";
      return OwnDirectory::kRefused;
    }
    if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
    if ((allowed->Mask & kWriteRights) == 0) continue;
    PSID sid = &allowed->SidStart;
    if (EqualSid(sid, me) || EqualSid(sid, owner) || IsWellKnown(sid, WinLocalSystemSid) ||
        IsWellKnown(sid, WinBuiltinAdministratorsSid) || IsWellKnown(sid, WinCreatorOwnerSid) || IsTrustedInstaller(sid))
      continue;
    *why = "is writable by " + SidText(sid);
    return OwnDirectory::kRefused;
  }
  return OwnDirectory::kOwn;
}

bool MakeOwnDirectory(const std::string& path) {
  std::unique_ptr<char[]> user = TokenRecord(TokenUser);
  if (!user) return false;
  // Protected (nothing inherited from the install directory, which may let
  // every user write), full access for this user, SYSTEM and the
  // administrators, passed on to what is created inside.
  const std::string sddl =
      "D:P(A;OICI;FA;;;" + SidText(reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid) + ")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr)) return false;
  SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
  const bool made = CreateDirectoryA(WithoutTrailingSeparators(path).c_str(), &sa) != FALSE;
  LocalFree(sd);
  return made;
}

}  // namespace platform
