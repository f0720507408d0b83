// Dynamic arrays and strings of the engine core library.
//
// FArray is the untyped array: a block from GMalloc holding ArrayNum used
// elements of ArrayMax allocated. TArray<T> adds element types.
// REQUIRES of every element type: it may be moved by copying its bytes
// (engine types, pointers and plain data; not std::string). Zero bytes must
// be a valid value for AddZeroed.
#ifndef PATCHER_ENGINE_CONTAINERS_H_
#define PATCHER_ENGINE_CONTAINERS_H_

#include <new>
#include <string>
#include <type_traits>

#include "patcher/engine/core_types.h"

void* appMalloc(INT Size, const TCHAR* Tag);
void* appRealloc(void* Ptr, INT Size, const TCHAR* Tag);
void appFree(void* Ptr);

class FArray {
 public:
  void* GetData() { return Data; }
  const void* GetData() const { return Data; }
  INT Num() const { return ArrayNum; }
  UBOOL IsValidIndex(INT i) const { return i >= 0 && i < ArrayNum; }

  // Appends Count uninitialised elements; returns the index of the first.
  INT Add(INT Count, INT ElementSize);
  // Inserts Count uninitialised elements before Index.
  void Insert(INT Index, INT Count, INT ElementSize);
  // Removes Count elements from Index on (no destructors run here).
  void Remove(INT Index, INT Count, INT ElementSize);
  // Drops every element and keeps room for Slack.
  void Empty(INT ElementSize, INT Slack = 0);
  // Resizes the block to ArrayMax elements.
  void Realloc(INT ElementSize);
  void Shrink(INT ElementSize);

 protected:
  constexpr FArray() : Data(nullptr), ArrayNum(0), ArrayMax(0) {}
  ~FArray() {
    if (Data) appFree(Data);
  }
  FArray(const FArray&) = delete;
  FArray& operator=(const FArray&) = delete;

  void* Data;
  INT ArrayNum;
  INT ArrayMax;
};

template <class T>
class TArray : public FArray {
 public:
  constexpr TArray() = default;
  // An array of n uninitialised elements.
  explicit TArray(INT n) { FArray::Add(n, sizeof(T)); }
  TArray(const TArray& Other) { CopyFrom(Other); }
  TArray& operator=(const TArray& Other) {
    if (this != &Other) {
      Empty(Other.ArrayNum);
      CopyFrom(Other);
    }
    return *this;
  }
  ~TArray() { DestructRange(0, ArrayNum); }

  T* GetTypedData() { return static_cast<T*>(Data); }
  const T* GetTypedData() const { return static_cast<const T*>(Data); }

  T& operator()(INT i) {
    check(i>=0);
    check(i<ArrayNum);
    return GetTypedData()[i];
  }
  const T& operator()(INT i) const {
    check(i>=0);
    check(i<ArrayNum);
    return GetTypedData()[i];
  }
  // The c-th element from the end.
  T& Last(INT c = 0) {
    check(c>=0);
    check(c<ArrayNum);
    return GetTypedData()[ArrayNum - c - 1];
  }
  const T& Last(INT c = 0) const {
    check(c>=0);
    check(c<ArrayNum);
    return GetTypedData()[ArrayNum - c - 1];
  }

  INT Add(INT n = 1) { return FArray::Add(n, sizeof(T)); }
  INT AddZeroed(INT n = 1) {
    INT Index = FArray::Add(n, sizeof(T));
    if (n) appMemzero(GetTypedData() + Index, n * static_cast<INT>(sizeof(T)));  // no block when empty
    return Index;
  }
  INT AddItem(const T& Item) {
    T Copy(Item);  // Item may live inside this array
    INT Index = FArray::Add(1, sizeof(T));
    new (GetTypedData() + Index) T(static_cast<T&&>(Copy));
    return Index;
  }
  void InsertZeroed(INT Index, INT Count = 1) {
    FArray::Insert(Index, Count, sizeof(T));
    appMemzero(GetTypedData() + Index, Count * static_cast<INT>(sizeof(T)));
  }
  void Remove(INT Index, INT Count = 1) {
    check(Index>=0);
    check(Index<=ArrayNum);
    check(Index+Count<=ArrayNum);
    DestructRange(Index, Count);
    FArray::Remove(Index, Count, sizeof(T));
  }
  void Empty(INT Slack = 0) {
    DestructRange(0, ArrayNum);
    FArray::Empty(sizeof(T), Slack);
  }
  void Shrink() { FArray::Shrink(sizeof(T)); }
  UBOOL FindItem(const T& Item, INT& Index) const {
    for (Index = 0; Index < ArrayNum; ++Index)
      if (GetTypedData()[Index] == Item) return 1;
    Index = INDEX_NONE;
    return 0;
  }

 private:
  void CopyFrom(const TArray& Other) {
    INT Start = FArray::Add(Other.ArrayNum, sizeof(T));
    for (INT i = 0; i < Other.ArrayNum; ++i) new (GetTypedData() + Start + i) T(Other.GetTypedData()[i]);
  }
  void DestructRange(INT Index, INT Count) {
    if (!std::is_trivially_destructible<T>::value)
      for (INT i = Index; i < Index + Count; ++i) GetTypedData()[i].~T();
  }
};

// Constructs one new element at the end of an array: new(Array) T(...).
template <class T>
void* operator new(size_t Size, TArray<T>& Array) {
  INT Index = Array.FArray::Add(1, sizeof(T));
  return &Array(Index);
}
template <class T>
void operator delete(void*, TArray<T>& Array) {
  Array.FArray::Remove(Array.Num() - 1, 1, sizeof(T));
}

// Engine text: the characters and a terminating zero, or no elements at all
// for the empty string.
class FString : public TArray<TCHAR> {
 public:
  FString() = default;
  FString(const TCHAR* In);
  explicit FString(const std::wstring& In) : FString(In.c_str()) {}
  FString(const FString&) = default;
  FString& operator=(const FString&) = default;
  FString& operator=(const TCHAR* In) { return *this = FString(In); }

  // The text; "" when empty (never null).
  const TCHAR* operator*() const { return ArrayNum ? GetTypedData() : TEXT(""); }
  INT Len() const { return ArrayNum ? ArrayNum - 1 : 0; }
  std::wstring ToWide() const { return std::wstring(**this); }

  FString& operator+=(const TCHAR* Str);
  FString& operator+=(const FString& Str) { return *this += *Str; }
  FString operator+(const TCHAR* Str) const { return FString(*this) += Str; }
  FString operator+(const FString& Str) const { return FString(*this) += *Str; }
  // Exact comparison; use appStricmp for the engine's case-blind one.
  bool operator==(const FString& Other) const { return appStrcmp(**this, *Other) == 0; }
  bool operator!=(const FString& Other) const { return !(*this == Other); }
  bool operator==(const TCHAR* Other) const { return appStrcmp(**this, Other) == 0; }

  static FString Printf(const TCHAR* Fmt, ...);
};

#endif  // PATCHER_ENGINE_CONTAINERS_H_
