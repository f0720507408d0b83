#include "patcher/engine/name.h"

#include "patcher/engine/core.h"

TArray<FNameEntry*> FName::Names;
FNameEntry* FName::NameHash[NAME_HASH_SIZE];
UBOOL FName::Initialized = 0;

namespace {

DWORD HashOf(const TCHAR* Text) {
  DWORD Hash = 0;
  for (; *Text; ++Text) Hash = Hash * 31 + static_cast<DWORD>(appToUpper(*Text));
  return Hash & (NAME_HASH_SIZE - 1);
}

}  // namespace

FName::FName(const TCHAR* Text, EFindName FindType) {
  Index = NAME_None;
  check(Initialized);
  if (!Text || !*Text) return;
  check(appStrlen(Text)<NAME_SIZE);
  const DWORD Hash = HashOf(Text);
  for (FNameEntry* E = NameHash[Hash]; E; E = E->HashNext) {
    if (appStricmp(E->Name, Text) == 0) {
      Index = E->Index;
      return;
    }
  }
  if (FindType == FNAME_Find) return;
  FNameEntry* E = new FNameEntry;
  E->Index = Names.Num();
  E->Flags = 0;
  appStrncpy(E->Name, Text, NAME_SIZE);
  E->HashNext = NameHash[Hash];
  NameHash[Hash] = E;
  Names.AddItem(E);
  Index = E->Index;
}

const TCHAR* FName::operator*() const { return IsValid() ? Names(Index)->Name : TEXT("<invalid name>"); }

DWORD FName::GetFlags() const { return Names(Index)->Flags; }
void FName::SetFlags(DWORD Set) const { Names(Index)->Flags |= Set; }
void FName::ClearFlags(DWORD Clear) const { Names(Index)->Flags &= ~Clear; }

void FName::StaticInit() {
  if (Initialized) return;
  Initialized = 1;
  for (FNameEntry*& Bucket : NameHash) Bucket = nullptr;
  Names.Empty();
  FName None(TEXT("None"));
  check(None.GetIndex()==NAME_None);
}

void FName::StaticExit() {
  for (INT i = 0; i < Names.Num(); ++i) delete Names(i);
  Names.Empty();
  for (FNameEntry*& Bucket : NameHash) Bucket = nullptr;
  Initialized = 0;
}
