// The general file operations: directory trees, moves, sizes and the block
// copy with its ".uz2" form.
#include <zlib.h>

#include <string>
#include <vector>

#include "patcher/engine/file_manager_windows.h"

namespace {

bool IsSeparator(TCHAR C) { return C == '/' || C == '\\'; }

}  // namespace

INT FFileManagerGeneric::FileSize(const TCHAR* Filename) {
  guard(FFileManagerGeneric::FileSize);
  FArchive* Ar = CreateFileReader(Filename, 0, GNull);
  if (!Ar) return -1;
  INT Result = Ar->TotalSize();
  delete Ar;
  return Result;
  unguard;
}

UBOOL FFileManagerGeneric::MakeDirectory(const TCHAR* Path, UBOOL Tree) {
  guard(FFileManagerGeneric::MakeDirectory);
  if (!Tree) return 0;
  // Every prefix that ends before a separator, then the whole path.
  std::wstring Full = Path;
  for (size_t i = 1; i < Full.size(); ++i) {
    if (!IsSeparator(Full[i]) || IsSeparator(Full[i - 1]) || Full[i - 1] == ':') continue;
    if (!MakeDirectory(Full.substr(0, i).c_str(), 0)) return 0;
  }
  while (!Full.empty() && IsSeparator(Full.back()) && Full.size() > 1) Full.pop_back();
  return MakeDirectory(Full.c_str(), 0);
  unguard;
}

UBOOL FFileManagerGeneric::DeleteDirectory(const TCHAR* Path, UBOOL RequireExists, UBOOL Tree) {
  guard(FFileManagerGeneric::DeleteDirectory);
  if (!Tree) return 0;
  std::wstring Dir = Path;
  if (Dir.empty()) return 0;
  if (!IsSeparator(Dir.back())) Dir += L'/';
  const std::wstring Pattern = Dir + L"*";
  TArray<FString> Files = FindFiles(Pattern.c_str(), 1, 0);
  for (INT i = 0; i < Files.Num(); ++i)
    if (!Delete((Dir + *Files(i)).c_str(), 1, 1)) return 0;
  TArray<FString> Dirs = FindFiles(Pattern.c_str(), 0, 1);
  for (INT i = 0; i < Dirs.Num(); ++i)
    if (!DeleteDirectory((Dir + *Dirs(i)).c_str(), 1, 1)) return 0;
  return DeleteDirectory(Path, RequireExists, 0);
  unguard;
}

UBOOL FFileManagerGeneric::Move(const TCHAR* Dest, const TCHAR* Src, UBOOL Replace, UBOOL EvenIfReadOnly,
                                UBOOL Attributes) {
  guard(FFileManagerGeneric::Move);
  if (Copy(Dest, Src, Replace, EvenIfReadOnly, Attributes) != COPY_OK) return 0;
  Delete(Src, 1, 1);
  return 1;
  unguard;
}

DWORD FFileManagerGeneric::Copy(const TCHAR* DestName, const TCHAR* SrcName, UBOOL Replace, UBOOL EvenIfReadOnly,
                                UBOOL Attributes, DWORD Compress, FCopyProgress* Progress) {
  guard(FFileManagerGeneric::Copy);
  FString DestFile(DestName), SrcFile(SrcName);
  if (Compress == FILECOPY_Compress) DestFile += TEXT(".uz2");
  if (Compress == FILECOPY_Decompress) SrcFile += TEXT(".uz2");

  FArchive* Src = CreateFileReader(*SrcFile, 0, GNull);
  if (!Src) return COPY_ReadFail;
  const DWORD WriteFlags =
      (Replace ? 0 : FILEWRITE_NoReplaceExisting) | (EvenIfReadOnly ? FILEWRITE_EvenIfReadOnly : 0);
  FArchive* Dest = CreateFileWriter(*DestFile, WriteFlags, GNull);
  if (!Dest) {
    delete Src;
    return COPY_WriteFail;
  }

  DWORD Result = COPY_OK;
  if (Progress && !Progress->Poll(0.0f)) Result = COPY_Canceled;
  const INT Size = Src->TotalSize();
  INT Percent = 0;
  // Reports a whole-percent change; false when the callback cancels.
  auto Report = [&](INT Done) {
    if (!Progress || Size <= 0) return true;
    INT NewPercent = static_cast<INT>(100.0 * Done / Size);
    if (NewPercent == Percent) return true;
    Percent = NewPercent;
    return Progress->Poll(NewPercent / 100.0f) != 0;
  };

  std::vector<BYTE> Block(COPY_BLOCK_SIZE);
  std::vector<BYTE> Packed(COPY_COMPRESSED_BOUND);
  if (Result == COPY_OK && Compress != FILECOPY_Decompress) {
    for (INT Total = 0; Total < Size; Total += COPY_BLOCK_SIZE) {
      INT Count = Min(Size - Total, static_cast<INT>(COPY_BLOCK_SIZE));
      Src->Serialize(Block.data(), Count);
      if (Src->GetError()) {
        Result = COPY_ReadFail;
        break;
      }
      if (Compress == FILECOPY_Compress) {
        uLongf PackedLen = COPY_COMPRESSED_BOUND;
        if (compress(Packed.data(), &PackedLen, Block.data(), static_cast<uLong>(Count)) != Z_OK) {
          Result = COPY_CompFail;
          break;
        }
        INT PackedSize = static_cast<INT>(PackedLen);
        *Dest << PackedSize << Count;
        Dest->Serialize(Packed.data(), PackedSize);
      } else {
        Dest->Serialize(Block.data(), Count);
      }
      if (Dest->GetError()) {
        Result = COPY_WriteFail;
        break;
      }
      if (!Report(Total + Count)) {
        Result = COPY_Canceled;
        break;
      }
    }
  } else if (Result == COPY_OK) {
    while (!Src->AtEnd()) {
      INT PackedSize = 0, Count = 0;
      *Src << PackedSize << Count;
      if (Src->GetError()) {
        Result = COPY_ReadFail;
        break;
      }
      if (PackedSize < 0 || PackedSize > COPY_COMPRESSED_BOUND || Count < 0 || Count > COPY_BLOCK_SIZE) {
        Result = COPY_DecompFail;
        break;
      }
      Src->Serialize(Packed.data(), PackedSize);
      if (Src->GetError()) {
        Result = COPY_ReadFail;
        break;
      }
      uLongf BlockLen = COPY_BLOCK_SIZE;
      if (uncompress(Block.data(), &BlockLen, Packed.data(), static_cast<uLong>(PackedSize)) != Z_OK ||
          BlockLen != static_cast<uLongf>(Count)) {
        Result = COPY_DecompFail;
        break;
      }
      Dest->Serialize(Block.data(), Count);
      if (Dest->GetError()) {
        Result = COPY_WriteFail;
        break;
      }
      if (!Report(Src->GetPosition())) {
        Result = COPY_Canceled;
        break;
      }
    }
  }

  if (!Dest->Close() && Result == COPY_OK) Result = COPY_WriteFail;
  delete Dest;
  if (Result != COPY_OK) Delete(*DestFile);
  if (!Src->Close() && Result == COPY_OK) Result = COPY_ReadFail;
  delete Src;
  if (Result == COPY_OK && Progress && !Progress->Poll(1.0f)) Result = COPY_Canceled;
  return Result;
  unguard;
}
