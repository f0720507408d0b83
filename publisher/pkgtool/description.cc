// The text description of "pkgtool make".
#include <cstdlib>
#include <sstream>

#include "platform/wide_text.h"
#include "publisher/pkgtool/package_tool.h"

namespace pkgtool {
namespace {

bool ParseNumber(const std::string& Token, int64_t* Value) {
  if (Token.empty()) return false;
  char* End = nullptr;
  const bool Negative = Token[0] == '-';
  const std::string Digits = Negative ? Token.substr(1) : Token;
  const bool Hex = Digits.size() > 2 && Digits[0] == '0' && (Digits[1] == 'x' || Digits[1] == 'X');
  unsigned long long V = std::strtoull(Digits.c_str() + (Hex ? 2 : 0), &End, Hex ? 16 : 10);
  if (Digits.empty() || !End || *End) return false;
  *Value = Negative ? -static_cast<int64_t>(V) : static_cast<int64_t>(V);
  return true;
}

bool ParseHex(const std::string& Text, std::vector<BYTE>* Out) {
  if (Text.size() % 2) return false;
  for (size_t i = 0; i < Text.size(); i += 2) {
    int64_t V = 0;
    if (!ParseNumber("0x" + Text.substr(i, 2), &V)) return false;
    Out->push_back(static_cast<BYTE>(V));
  }
  return true;
}

// The export data items; false on a bad one.
bool ParseData(const std::vector<std::string>& Items, std::vector<BYTE>* Data) {
  for (const std::string& Item : Items) {
    const size_t Eq = Item.find('=');
    if (Eq == std::string::npos) return false;
    const std::string Key = Item.substr(0, Eq), Value = Item.substr(Eq + 1);
    if (Key == "hex") {
      if (!ParseHex(Value, Data)) return false;
    } else if (Key == "text") {
      Data->insert(Data->end(), Value.begin(), Value.end());
    } else if (Key == "zero") {
      int64_t N = 0;
      if (!ParseNumber(Value, &N) || N < 0 || N > MAXINT) return false;
      Data->resize(Data->size() + static_cast<size_t>(N));
    } else if (Key == "random") {
      const size_t Comma = Value.find(',');
      int64_t N = 0, Seed = 0;
      if (Comma == std::string::npos || !ParseNumber(Value.substr(0, Comma), &N) ||
          !ParseNumber(Value.substr(Comma + 1), &Seed) || N < 0 || N > MAXINT)
        return false;
      uint64_t State = static_cast<uint64_t>(Seed) * 0x9E3779B97F4A7C15ull + 1;
      const size_t Start = Data->size();
      Data->resize(Start + static_cast<size_t>(N));
      for (size_t i = 0; i < static_cast<size_t>(N); ++i) {
        State ^= State << 13;
        State ^= State >> 7;
        State ^= State << 17;
        (*Data)[Start + i] = static_cast<BYTE>(State >> 24);
      }
    } else if (Key == "set") {
      const size_t Colon = Value.find(':');
      int64_t At = 0;
      std::vector<BYTE> Bytes;
      if (Colon == std::string::npos || !ParseNumber(Value.substr(0, Colon), &At) ||
          !ParseHex(Value.substr(Colon + 1), &Bytes) || At < 0 ||
          static_cast<uint64_t>(At) + Bytes.size() > Data->size())
        return false;
      std::copy(Bytes.begin(), Bytes.end(), Data->begin() + At);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

bool ParseDescription(const std::string& Text, PackageModel* Model, std::string* Error) {
  *Model = PackageModel();
  std::istringstream In(Text);
  std::string Line;
  int LineNo = 0;
  auto Fail = [&](const std::string& Why) {
    *Error = "line " + std::to_string(LineNo) + ": " + Why;
    return false;
  };
  while (std::getline(In, Line)) {
    ++LineNo;
    const size_t Hash = Line.find('#');
    if (Hash != std::string::npos) Line.resize(Hash);
    std::istringstream Words(Line);
    std::vector<std::string> W;
    for (std::string Word; Words >> Word;) W.push_back(Word);
    if (W.empty()) continue;
    std::vector<int64_t> N(W.size() + 1, 0);
    auto Numbers = [&](size_t From, size_t To) {
      for (size_t i = From; i < To; ++i)
        if (i >= W.size() || !ParseNumber(W[i], &N[i])) return false;
      return true;
    };
    auto NameOf = [&](const std::string& S) {
      return Model->NameSlot(platform::AnsiToWide(S));
    };
    const std::string& Key = W[0];
    if (Key == "version" && W.size() == 2 && Numbers(1, 2)) {
      Model->Version = static_cast<INT>(N[1]);
      if (Model->Version < 60 || Model->Version > 0xFFFF) return Fail("version must lie in 60..65535");
    } else if (Key == "licensee" && W.size() == 2 && Numbers(1, 2)) {
      Model->Licensee = static_cast<INT>(N[1] & 0xFFFF);
    } else if (Key == "flags" && W.size() == 2 && Numbers(1, 2)) {
      Model->PackageFlags = static_cast<DWORD>(N[1]);
    } else if (Key == "guid" && W.size() == 5 && Numbers(1, 5)) {
      Model->Guid = FGuid(static_cast<DWORD>(N[1]), static_cast<DWORD>(N[2]), static_cast<DWORD>(N[3]),
                          static_cast<DWORD>(N[4]));
    } else if (Key == "encrypt" && W.size() == 1) {
      Model->Encrypt = true;
    } else if (Key == "generation" && W.size() == 3 && Numbers(1, 3)) {
      Model->EarlierGenerations.push_back(FGenerationInfo(static_cast<INT>(N[1]), static_cast<INT>(N[2])));
    } else if (Key == "name" && (W.size() == 2 || (W.size() == 3 && Numbers(2, 3)))) {
      std::wstring T = platform::AnsiToWide(W[1]);
      if (T.size() >= NAME_SIZE) return Fail("names have at most 63 characters");
      Model->Names.push_back({T, static_cast<DWORD>(N[2])});
    } else if (Key == "import" && W.size() == 5 && Numbers(3, 4)) {
      PackageModel::Import I;
      I.ClassPackage = NameOf(W[1]);
      I.ClassName = NameOf(W[2]);
      I.PackageIndex = static_cast<INT>(N[3]);
      I.ObjectName = NameOf(W[4]);
      Model->Imports.push_back(I);
    } else if (Key == "export" && W.size() >= 6 && Numbers(1, 4) && Numbers(5, 6)) {
      PackageModel::Export X;
      X.ClassIndex = static_cast<INT>(N[1]);
      X.SuperIndex = static_cast<INT>(N[2]);
      X.PackageIndex = static_cast<INT>(N[3]);
      X.ObjectName = NameOf(W[4]);
      X.ObjectFlags = static_cast<DWORD>(N[5]);
      if (!ParseData(std::vector<std::string>(W.begin() + 6, W.end()), &X.Data)) return Fail("bad export data");
      Model->Exports.push_back(std::move(X));
    } else {
      return Fail("cannot read \"" + Line + "\"");
    }
  }
  return true;
}

}  // namespace pkgtool
