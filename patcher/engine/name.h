// Engine names: case-blind texts of at most 63 characters interned in one
// global table, FName::Names. An FName is an index into that table.
#ifndef PATCHER_ENGINE_NAME_H_
#define PATCHER_ENGINE_NAME_H_

#include "patcher/engine/containers.h"
#include "patcher/engine/core_types.h"

enum { NAME_SIZE = 64 };        // characters of a name field, terminator included
enum { NAME_HASH_SIZE = 4096 };  // buckets of the name hash

enum EFindName {
  FNAME_Find = 0,  // look the name up only
  FNAME_Add = 1,   // find it, or add it when missing
};

// One entry of the name table.
struct FNameEntry {
  INT Index;                // its own index in FName::Names
  DWORD Flags;              // name flags, as loaded from packages
  FNameEntry* HashNext;     // next entry of the same hash bucket
  TCHAR Name[NAME_SIZE];    // the text, zero-terminated
};

class FName {
 public:
  constexpr FName() : Index(NAME_None) {}
  // Finds the name for Text, or adds it (FNAME_Add). Letters compare without
  // case; the first spelling added is the one kept. An empty text, or one not
  // found with FNAME_Find, gives NAME_None. REQUIRES: the table is initialised
  // (StaticInit) and Text has at most 63 characters (else a failed check).
  FName(const TCHAR* Text, EFindName FindType = FNAME_Add);

  INT GetIndex() const { return Index; }
  const TCHAR* operator*() const;
  DWORD GetFlags() const;
  void SetFlags(DWORD Set) const;
  void ClearFlags(DWORD Clear) const;
  UBOOL IsValid() const { return Index >= 0 && Index < Names.Num() && Names(Index) != nullptr; }
  bool operator==(const FName& Other) const { return Index == Other.Index; }
  bool operator!=(const FName& Other) const { return Index != Other.Index; }

  // Sets up the table with "None" at index 0. Calling it again does nothing.
  static void StaticInit();
  // Frees every entry; the table is empty afterwards.
  static void StaticExit();
  static UBOOL GetInitialized() { return Initialized; }
  static FNameEntry* GetEntry(INT i) { return Names(i); }
  static INT GetMaxNames() { return Names.Num(); }
  // Wraps an index of the table (REQUIRES: a valid index).
  static FName FromIndex(INT i) {
    FName N;
    N.Index = i;
    return N;
  }

  static TArray<FNameEntry*> Names;
  static FNameEntry* NameHash[NAME_HASH_SIZE];

 private:
  static UBOOL Initialized;
  INT Index;
};

#endif  // PATCHER_ENGINE_NAME_H_
