// Archive basics and the byte-level encodings of package values and records.
#include "patcher/engine/archive.h"

#include <bit>

#include "patcher/engine/core.h"

namespace {

constexpr BYTE KeyEntry(int i) { return static_cast<BYTE>((i * 167 + 91) % 256); }

// Strings are read in pieces of this many bytes, so that memory grows only
// with data actually present (and reads stay in the file reader's buffer,
// whose end-of-file report is the one a short file deserves).
constexpr INT kStringPiece = 512;

}  // namespace

// A publisher may replace the table; the default is (i * 167 + 91) mod 256.
BYTE FArchive::TransformKey[1024] = {
#define K4(i) KeyEntry(i), KeyEntry(i + 1), KeyEntry(i + 2), KeyEntry(i + 3)
#define K16(i) K4(i), K4(i + 4), K4(i + 8), K4(i + 12)
#define K64(i) K16(i), K16(i + 16), K16(i + 32), K16(i + 48)
#define K256(i) K64(i), K64(i + 64), K64(i + 128), K64(i + 192)
    K256(0), K256(256), K256(512), K256(768)
#undef K256
#undef K64
#undef K16
#undef K4
};

void FArchive::SerializeBits(void* V, INT LengthBits) {
  Serialize(V, (LengthBits + 7) / 8);
  if (IsLoading() && (LengthBits & 7)) static_cast<BYTE*>(V)[LengthBits / 8] &= ((1 << (LengthBits & 7)) - 1);
}

void FArchive::SerializeInt(DWORD& Value, DWORD Max) { ByteOrderSerialize(&Value, sizeof(Value)); }

UBOOL FArchive::AtEnd() {
  INT Pos = GetPosition();
  return Pos != INDEX_NONE && Pos >= TotalSize();
}

void FArchive::ByteOrderSerialize(void* V, INT Size) {
  if constexpr (std::endian::native == std::endian::little) {
    Serialize(V, Size);
  } else {
    BYTE* B = static_cast<BYTE*>(V);
    BYTE Tmp[8];
    for (INT i = 0; i < Size; ++i) Tmp[i] = B[Size - 1 - i];
    Serialize(Tmp, Size);
    for (INT i = 0; i < Size; ++i) B[i] = Tmp[Size - 1 - i];
  }
}

FArchive& operator<<(FArchive& Ar, BYTE& V) {
  Ar.Serialize(&V, 1);
  return Ar;
}
FArchive& operator<<(FArchive& Ar, SBYTE& V) {
  Ar.Serialize(&V, 1);
  return Ar;
}
FArchive& operator<<(FArchive& Ar, _WORD& V) {
  Ar.ByteOrderSerialize(&V, sizeof(V));
  return Ar;
}
FArchive& operator<<(FArchive& Ar, SWORD& V) {
  Ar.ByteOrderSerialize(&V, sizeof(V));
  return Ar;
}
FArchive& operator<<(FArchive& Ar, DWORD& V) {
  Ar.ByteOrderSerialize(&V, sizeof(V));
  return Ar;
}
FArchive& operator<<(FArchive& Ar, INT& V) {
  Ar.ByteOrderSerialize(&V, sizeof(V));
  return Ar;
}
FArchive& operator<<(FArchive& Ar, QWORD& V) {
  Ar.ByteOrderSerialize(&V, sizeof(V));
  return Ar;
}
FArchive& operator<<(FArchive& Ar, SQWORD& V) {
  Ar.ByteOrderSerialize(&V, sizeof(V));
  return Ar;
}
FArchive& operator<<(FArchive& Ar, FLOAT& V) {
  Ar.ByteOrderSerialize(&V, sizeof(V));
  return Ar;
}

FArchive& operator<<(FArchive& Ar, FCompactIndex& I) {
  if (Ar.IsLoading()) {
    BYTE B0 = 0;
    Ar << B0;
    DWORD Magnitude = B0 & 0x3F;
    if (B0 & 0x40) {
      BYTE B1 = 0;
      Ar << B1;
      Magnitude |= static_cast<DWORD>(B1 & 0x7F) << 6;
      if (B1 & 0x80) {
        BYTE B2 = 0;
        Ar << B2;
        Magnitude |= static_cast<DWORD>(B2 & 0x7F) << 13;
        if (B2 & 0x80) {
          BYTE B3 = 0;
          Ar << B3;
          Magnitude |= static_cast<DWORD>(B3 & 0x7F) << 20;
          if (B3 & 0x80) {
            BYTE B4 = 0;
            Ar << B4;
            Magnitude |= static_cast<DWORD>(B4) << 27;
          }
        }
      }
    }
    // Two's complement wrap keeps -2^31 exact.
    I.Value = static_cast<INT>((B0 & 0x80) ? 0u - Magnitude : Magnitude);
  } else {
    const DWORD Magnitude = I.Value < 0 ? 0u - static_cast<DWORD>(I.Value) : static_cast<DWORD>(I.Value);
    BYTE B0 = static_cast<BYTE>((I.Value < 0 ? 0x80 : 0) | (Magnitude >= 0x40 ? 0x40 : 0) | (Magnitude & 0x3F));
    Ar << B0;
    if (B0 & 0x40) {
      BYTE B1 = static_cast<BYTE>(((Magnitude >> 13) ? 0x80 : 0) | ((Magnitude >> 6) & 0x7F));
      Ar << B1;
      if (B1 & 0x80) {
        BYTE B2 = static_cast<BYTE>(((Magnitude >> 20) ? 0x80 : 0) | ((Magnitude >> 13) & 0x7F));
        Ar << B2;
        if (B2 & 0x80) {
          BYTE B3 = static_cast<BYTE>(((Magnitude >> 27) ? 0x80 : 0) | ((Magnitude >> 20) & 0x7F));
          Ar << B3;
          if (B3 & 0x80) {
            BYTE B4 = static_cast<BYTE>(Magnitude >> 27);
            Ar << B4;
          }
        }
      }
    }
  }
  return Ar;
}

FArchive& operator<<(FArchive& Ar, FString& S) {
  if (Ar.IsLoading()) {
    INT SaveNum = 0;
    Ar << AR_INDEX(SaveNum);
    S.Empty();
    if (SaveNum == 0) return Ar;
    // Characters including the terminator.
    const int64_t Units = SaveNum > 0 ? static_cast<int64_t>(SaveNum) : -static_cast<int64_t>(SaveNum);
    const INT UnitBytes = SaveNum > 0 ? 1 : 2;
    std::wstring Text;
    BYTE Piece[kStringPiece];
    int64_t Left = Units * UnitBytes;
    while (Left > 0) {
      const INT Count = static_cast<INT>(Min<int64_t>(Left, kStringPiece));
      appMemzero(Piece, Count);
      Ar.Serialize(Piece, Count);
      if (Ar.GetError()) return Ar;
      if (UnitBytes == 1) {
        for (INT i = 0; i < Count; ++i) Text += static_cast<TCHAR>(Piece[i]);
      } else {
        for (INT i = 0; i + 1 < Count; i += 2) Text += static_cast<TCHAR>(Piece[i] | (Piece[i + 1] << 8));
      }
      Left -= Count;
    }
    // The last unit is the terminator, whatever the file holds there.
    Text.pop_back();
    S.FArray::Add(static_cast<INT>(Text.size()) + 1, sizeof(TCHAR));
    appMemcpy(S.GetTypedData(), Text.data(), static_cast<INT>(Text.size() * sizeof(TCHAR)));
    S.GetTypedData()[Text.size()] = 0;
  } else {
    const TCHAR* Text = *S;
    const INT Len = S.Len();
    bool Narrow = true;
    for (INT i = 0; i < Len; ++i)
      if (static_cast<DWORD>(Text[i]) > 0xFF) Narrow = false;
    if (Len == 0) {
      INT Zero = 0;
      Ar << AR_INDEX(Zero);
    } else if (Narrow) {
      INT SaveNum = Len + 1;
      Ar << AR_INDEX(SaveNum);
      for (INT i = 0; i <= Len; ++i) {
        BYTE B = static_cast<BYTE>(Text[i]);
        Ar << B;
      }
    } else {
      // UTF-16 units; characters beyond U+FFFF (possible where TCHAR has 32
      // bits) become surrogate pairs.
      std::u16string Units;
      for (INT i = 0; i < Len; ++i) {
        DWORD C = static_cast<DWORD>(Text[i]);
        if (C > 0xFFFF && C <= 0x10FFFF) {
          C -= 0x10000;
          Units += static_cast<char16_t>(0xD800 | (C >> 10));
          Units += static_cast<char16_t>(0xDC00 | (C & 0x3FF));
        } else {
          Units += static_cast<char16_t>(C > 0xFFFF ? 0xFFFD : C);
        }
      }
      Units += u'\0';
      INT SaveNum = -static_cast<INT>(Units.size());
      Ar << AR_INDEX(SaveNum);
      for (char16_t U : Units) {
        _WORD W = U;
        Ar << W;
      }
    }
  }
  return Ar;
}

FArchive& operator<<(FArchive& Ar, FNameEntry& E) {
  if (Ar.IsLoading()) {
    FString Text;
    if (Ar.Ver() >= 64) {
      Ar << Text;
    } else {
      // 8-bit characters up to a zero byte.
      std::wstring Chars;
      for (;;) {
        BYTE B = 0;
        Ar << B;
        if (Ar.GetError() || B == 0) break;
        Chars += static_cast<TCHAR>(B);
        if (Chars.size() >= NAME_SIZE) break;
      }
      Text = FString(Chars);
    }
    if (Text.Len() >= NAME_SIZE) appErrorf(TEXT("Name too long (%i characters)"), Text.Len());
    appStrncpy(E.Name, *Text, NAME_SIZE);
    Ar << E.Flags;
  } else {
    if (Ar.Ver() >= 64) {
      FString Text(E.Name);
      Ar << Text;
    } else {
      for (INT i = 0;; ++i) {
        BYTE B = static_cast<BYTE>(E.Name[i]);
        Ar << B;
        if (!E.Name[i]) break;
      }
    }
    Ar << E.Flags;
  }
  return Ar;
}

FArchive& operator<<(FArchive& Ar, FGuid& G) {
  guard(FGuid<<);
  Ar << G.A << G.B << G.C << G.D;
  unguard;
  return Ar;
}

FArchive& operator<<(FArchive& Ar, FGenerationInfo& I) {
  guard(FGenerationInfo<<);
  Ar << I.ExportCount << I.NameCount;
  unguard;
  return Ar;
}

FArchive& operator<<(FArchive& Ar, FObjectImport& I) {
  Ar << I.ClassPackage << I.ClassName;
  Ar << I.PackageIndex;
  Ar << I.ObjectName;
  if (Ar.IsLoading()) {
    I.SourceLinker = nullptr;
    I.SourceIndex = INDEX_NONE;
    I.XObject = nullptr;
  }
  return Ar;
}

FArchive& operator<<(FArchive& Ar, FObjectExport& E) {
  Ar << AR_INDEX(E.ClassIndex);
  Ar << AR_INDEX(E.SuperIndex);
  Ar << E.PackageIndex;
  Ar << E.ObjectName;
  Ar << E.ObjectFlags;
  Ar << AR_INDEX(E.SerialSize);
  if (E.SerialSize) Ar << AR_INDEX(E.SerialOffset);
  if (Ar.IsLoading()) {
    E._Object = nullptr;
    E._iHashNext = INDEX_NONE;
  }
  return Ar;
}
