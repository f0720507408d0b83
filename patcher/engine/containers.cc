#include "patcher/engine/containers.h"

#include "patcher/engine/core.h"

namespace {

// Growth keeps the byte size of a block within INT.
INT CheckedBytes(INT Count, INT ElementSize) {
  int64_t Bytes = static_cast<int64_t>(Count) * ElementSize;
  check(Bytes>=0 && Bytes<=MAXINT);
  return static_cast<INT>(Bytes);
}

}  // namespace

void FArray::Realloc(INT ElementSize) {
  INT Bytes = CheckedBytes(ArrayMax, ElementSize);
  if (Bytes == 0) {
    if (Data) appFree(Data);
    Data = nullptr;
    return;
  }
  Data = appRealloc(Data, Bytes, TEXT("FArray"));
}

INT FArray::Add(INT Count, INT ElementSize) {
  check(Count>=0);
  const INT Index = ArrayNum;
  int64_t NewNum = static_cast<int64_t>(ArrayNum) + Count;
  check(NewNum<=MAXINT);
  ArrayNum = static_cast<INT>(NewNum);
  if (ArrayNum > ArrayMax) {
    int64_t NewMax = NewNum + 3 * NewNum / 8 + 32;
    int64_t Limit = MAXINT / Max(ElementSize, 1);
    if (NewMax > Limit) NewMax = Max<int64_t>(NewNum, Limit);
    ArrayMax = static_cast<INT>(NewMax);
    Realloc(ElementSize);
  }
  return Index;
}

void FArray::Insert(INT Index, INT Count, INT ElementSize) {
  check(Count>=0);
  check(Index>=0);
  check(Index<=ArrayNum);
  const INT OldNum = ArrayNum;
  Add(Count, ElementSize);
  BYTE* Bytes = static_cast<BYTE*>(Data);
  appMemmove(Bytes + (Index + Count) * ElementSize, Bytes + Index * ElementSize, (OldNum - Index) * ElementSize);
}

void FArray::Remove(INT Index, INT Count, INT ElementSize) {
  if (Count == 0) return;
  check(Index>=0);
  check(Index<=ArrayNum);
  check(Index+Count<=ArrayNum);
  BYTE* Bytes = static_cast<BYTE*>(Data);
  appMemmove(Bytes + Index * ElementSize, Bytes + (Index + Count) * ElementSize,
             (ArrayNum - Index - Count) * ElementSize);
  ArrayNum -= Count;
  if ((3 * ArrayNum < 2 * ArrayMax || (ArrayMax - ArrayNum) * ElementSize >= 16384) &&
      (ArrayMax - ArrayNum > 64 || ArrayNum == 0)) {
    ArrayMax = ArrayNum;
    Realloc(ElementSize);
  }
}

void FArray::Empty(INT ElementSize, INT Slack) {
  check(Slack>=0);
  ArrayNum = 0;
  if (ArrayMax != Slack) {
    ArrayMax = Slack;
    Realloc(ElementSize);
  }
}

void FArray::Shrink(INT ElementSize) {
  if (ArrayMax != ArrayNum) {
    ArrayMax = ArrayNum;
    Realloc(ElementSize);
  }
}

FString::FString(const TCHAR* In) {
  if (In && *In) {
    INT Len = appStrlen(In);
    FArray::Add(Len + 1, sizeof(TCHAR));
    appMemcpy(GetTypedData(), In, (Len + 1) * sizeof(TCHAR));
  }
}

FString& FString::operator+=(const TCHAR* Str) {
  if (!Str || !*Str) return *this;
  INT Len = appStrlen(Str);
  if (ArrayNum == 0) {
    FArray::Add(Len + 1, sizeof(TCHAR));
    appMemcpy(GetTypedData(), Str, (Len + 1) * sizeof(TCHAR));
  } else {
    // Str may point into this string.
    std::wstring Copy(Str, Len);
    INT Old = ArrayNum - 1;
    FArray::Add(Len, sizeof(TCHAR));
    appMemcpy(GetTypedData() + Old, Copy.c_str(), (Len + 1) * sizeof(TCHAR));
  }
  return *this;
}

FString FString::Printf(const TCHAR* Fmt, ...) {
  va_list Args;
  va_start(Args, Fmt);
  std::wstring Text = appVFormat(Fmt, Args);
  va_end(Args);
  return FString(Text.c_str());
}
