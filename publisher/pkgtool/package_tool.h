// pkgtool: the publisher's package tool. It makes engine packages from a
// small text description, prints what a package holds, and makes the
// difference files from which Gleaner composes a new package.
//
//   pkgtool make DESCRIPTION OUT      build a package file from a description
//   pkgtool info PKG                  print summary, tables and object paths
//   pkgtool diff OLD NEW DIFF [-encrypt]
//                                     write a difference file; Gleaner
//                                     composes NEW from OLD with it
//
// Exit code 0 on success, 1 on a usage error, 2 when the work failed (the
// reason is printed).
//
// Description format (one statement a line; "#" starts a comment; numbers
// are decimal, or hexadecimal with "0x"):
//
//   version V          file version, low 16 bits (default 128). 68 and
//                      above: summary with GUID and generations; 60 to 67:
//                      the older heritage layout (names as 8-bit texts below
//                      64)
//   licensee L         licensee version, high 16 bits (default 0)
//   flags F            package flags
//   guid A B C D       the package GUID
//   encrypt            store the file behind the "TRXArchive" marker
//   generation E N     an earlier generation (export and name count); the
//                      last generation is always the package's own counts
//   name TEXT [FLAGS]  the next slot of the name table (at most 63
//                      characters, no blanks)
//   import CLASSPACKAGE CLASSNAME PACKAGE OBJECTNAME
//   export CLASS SUPER PACKAGE OBJECTNAME OBJECTFLAGS [DATA...]
//
// CLASSPACKAGE, CLASSNAME and OBJECTNAME are name texts (added to the name
// table when not listed). CLASS, SUPER and PACKAGE are object references:
// 0 none, k > 0 export k-1, k < 0 import -k-1. An export's DATA is built from
// these items, in order (no item: the export has no data):
//
//   hex=00ff10         the bytes given
//   text=abc           the characters' bytes
//   zero=N             N zero bytes
//   random=N,SEED      N pseudo-random bytes from SEED
//   set=POS:HEX        overwrites the data built so far from POS on
//
// Layout of made packages (version 68 and above): summary, names, export
// data in export order, imports, exports, which is how Gleaner writes the
// packages it composes. So for such a NEW, Gleaner's output from OLD and the
// difference file is byte-identical to NEW when NEW's names differ in more
// than letter case and NEW's generations are OLD's with the last one holding
// NEW's counts (the difference file carries no generations; Gleaner keeps
// OLD's). Otherwise the output has NEW's tables and export data.
#ifndef PUBLISHER_PKGTOOL_PACKAGE_TOOL_H_
#define PUBLISHER_PKGTOOL_PACKAGE_TOOL_H_

#include <string>
#include <vector>

#include "patcher/package_data.h"

namespace pkgtool {

// A package as the description states it; names are slots of Names.
struct PackageModel {
  struct Name {
    std::wstring Text;
    DWORD Flags = 0;
  };
  struct Import {
    INT ClassPackage = 0, ClassName = 0;  // name slots
    INT PackageIndex = 0;
    INT ObjectName = 0;
  };
  struct Export {
    INT ClassIndex = 0, SuperIndex = 0, PackageIndex = 0;
    INT ObjectName = 0;  // name slot
    DWORD ObjectFlags = 0;
    std::vector<BYTE> Data;  // empty: no data
  };

  INT Version = 128;
  INT Licensee = 0;
  DWORD PackageFlags = 0;
  FGuid Guid;
  bool Encrypt = false;
  std::vector<FGenerationInfo> EarlierGenerations;
  // Older layout only: heritage GUIDs stored before the package's own Guid,
  // which is always the last entry of the heritage table.
  std::vector<FGuid> EarlierGuids;
  std::vector<Name> Names;
  std::vector<Import> Imports;
  std::vector<Export> Exports;

  // The slot of a name text (exact), added when missing.
  INT NameSlot(const std::wstring& Text, DWORD Flags = 0);
};

// False with a message naming the line on a bad description.
bool ParseDescription(const std::string& Text, PackageModel* Model, std::string* Error);

// The package's logical bytes (without the marker).
std::vector<BYTE> BuildPackage(const PackageModel& Model);

// Difference file bytes making NEW from OLD. Old must be loaded first and
// OldNames taken right after (see SnapshotNames); New loaded afterwards.
// False with a message when NEW cannot be composed (version below 68).
struct NameSnapshot {
  std::vector<std::wstring> Text;  // per OLD slot: the engine entry's text
  std::vector<DWORD> Flags;        // and flags
};
NameSnapshot SnapshotNames(FPackageData& Pkg);

struct DiffStats {
  INT KeptNames = 0, AddedNames = 0;
  INT KeptImports = 0, ChangedImports = 0;
  INT KeptExports = 0, ChangedExports = 0;
  INT AddedObjects = 0, DeletedObjects = 0, PatchedObjects = 0;
};
bool MakeDiff(FPackageData& Old, const NameSnapshot& OldNames, FPackageData& New, std::vector<BYTE>* Out,
              DiffStats* Stats, std::string* Error);

// The report of "pkgtool info".
std::string DescribePackage(FPackageData& Pkg);

// Writes logical bytes to a file through GFileManager, enciphered on
// request. REQUIRES: the engine services are installed (InstallServices).
bool WriteEngineFile(const std::wstring& Path, const std::vector<BYTE>& Bytes, bool Encrypt);

// Installs the engine services the tool's work needs (file manager, error
// device, allocator, name table). Calling it again does nothing.
void InstallServices();

// The program: arguments without the program's own name. Returns the exit
// code; messages go to Out.
int RunPkgtool(const std::vector<std::string>& Args, std::string* Out);

}  // namespace pkgtool

#endif  // PUBLISHER_PKGTOOL_PACKAGE_TOOL_H_
