// The general file operations: directory trees, moves, sizes and the block
// copy with its ".uz2" form.
#include <zlib.h>

#include <string>
#include <vector>

#include "patcher/engine/file_manager_windows.h"

namespace {

bool IsSeparator(TCHAR C) { return C == '/' || C == '\\'; }

// Reports a copy's whole-percent changes to its progress callback.
struct FCopyReport {
  FCopyProgress* Progress;
  INT Size;
  INT Percent = 0;

  // False when the callback cancels.
  bool operator()(INT Done) {
    if (!Progress || Size <= 0) return true;
    INT NewPercent = static_cast<INT>(100.0 * Done / Size);
    if (NewPercent == Percent) return true;
    Percent = NewPercent;
    return Progress->Poll(NewPercent / 100.0f) != 0;
  }
};

// Copies Size bytes block by block, each compressed with FILECOPY_Compress.
// Returns an ECopyResult.
DWORD CopyBlocks(FArchive* Src, FArchive* Dest, INT Size, DWORD Compress, FCopyReport& Report) {
  std::vector<BYTE> Block(FFileManagerGeneric::COPY_BLOCK_SIZE);
  std::vector<BYTE> Packed(FFileManagerGeneric::COPY_COMPRESSED_BOUND);
  for (INT Total = 0; Total < Size; Total += FFileManagerGeneric::COPY_BLOCK_SIZE) {
    INT Count = Min(Size - Total, static_cast<INT>(FFileManagerGeneric::COPY_BLOCK_SIZE));
    Src->Serialize(Block.data(), Count);
    if (Src->GetError()) return COPY_ReadFail;
    if (Compress == FILECOPY_Compress) {
      uLongf PackedLen = FFileManagerGeneric::COPY_COMPRESSED_BOUND;
      if (compress(Packed.data(), &PackedLen, Block.data(), static_cast<uLong>(Count)) != Z_OK) return COPY_CompFail;
      INT PackedSize = static_cast<INT>(PackedLen);
      *Dest << PackedSize << Count;
      Dest->Serialize(Packed.data(), PackedSize);
    } else {
      Dest->Serialize(Block.data(), Count);
    }
    if (Dest->GetError()) return COPY_WriteFail;
    if (!Report(Total + Count)) return COPY_Canceled;
  }
  return COPY_OK;
}

// Unpacks the ".uz2" blocks of Src into Dest. Returns an ECopyResult.
DWORD UnpackBlocks(FArchive* Src, FArchive* Dest, FCopyReport& Report) {
  std::vector<BYTE> Block(FFileManagerGeneric::COPY_BLOCK_SIZE);
  std::vector<BYTE> Packed(FFileManagerGeneric::COPY_COMPRESSED_BOUND);
  while (!Src->AtEnd()) {
    INT PackedSize = 0, Count = 0;
    *Src << PackedSize << Count;
    if (Src->GetError()) return COPY_ReadFail;
    if (PackedSize < 0 || PackedSize > FFileManagerGeneric::COPY_COMPRESSED_BOUND || Count < 0 ||
        Count > FFileManagerGeneric::COPY_BLOCK_SIZE) {
      return COPY_DecompFail;
    }
    Src->Serialize(Packed.data(), PackedSize);
    if (Src->GetError()) return COPY_ReadFail;
    uLongf BlockLen = FFileManagerGeneric::COPY_BLOCK_SIZE;
    if (uncompress(Block.data(), &BlockLen, Packed.data(), static_cast<uLong>(PackedSize)) != Z_OK ||
        BlockLen != static_cast<uLongf>(Count)) {
      return COPY_DecompFail;
    }
    Dest->Serialize(Block.data(), Count);
    if (Dest->GetError()) return COPY_WriteFail;
    if (!Report(Src->GetPosition())) return COPY_Canceled;
  }
  return COPY_OK;
}

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
  FCopyReport Report{Progress, Size};
  if (Result == COPY_OK && Compress != FILECOPY_Decompress) {
    Result = CopyBlocks(Src, Dest, Size, Compress, Report);
  } else if (Result == COPY_OK) {
    Result = UnpackBlocks(Src, Dest, Report);
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
