#include "launcher/release/signature.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/file.h"
#include "testing/testing.h"

namespace {

std::string Unhex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

template <size_t N>
std::array<uint8_t, N> Bytes(const std::string& hex) {
  std::string raw = Unhex(hex);
  std::array<uint8_t, N> out{};
  EXPECT_EQ(raw.size(), N);
  std::memcpy(out.data(), raw.data(), std::min(N, raw.size()));
  return out;
}

struct Vector {
  const char* seed;
  const char* public_key;
  const char* message;
  const char* signature;
};

// RFC 8032, section 7.1, tests 1 to 3.
const Vector kVectors[] = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe"
     "24655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302a"
     "eeb00d291612bb0c00"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed2"
     "8dc027beceea1ec40a"},
};

// Adds the group order L to S (little-endian); S + L still fits 256 bits.
Signature AddOrderToS(Signature sig) {
  const uint8_t kL[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                          0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    unsigned v = sig[32 + i] + kL[i] + carry;
    sig[32 + i] = static_cast<uint8_t>(v);
    carry = v >> 8;
  }
  return sig;
}

std::string Text(const Signature& sig) { return EncodeBase64(sig.data(), sig.size()); }

TEST(Ed25519, Rfc8032VectorsSignVerifyAndRefuseAFlippedBit) {
  for (const Vector& v : kVectors) {
    SCOPED_TRACE(v.public_key);
    const SigningSeed seed = Bytes<32>(v.seed);
    const PublisherKey expected_key = Bytes<32>(v.public_key);
    const Signature expected_sig = Bytes<64>(v.signature);
    const std::string message = Unhex(v.message);

    PublisherKey key{};
    ASSERT_TRUE(PublicKeyOfSeed(seed, &key));
    EXPECT_EQ(key, expected_key);
    Signature sig{};
    ASSERT_TRUE(Sign(seed, message, &sig));
    EXPECT_EQ(sig, expected_sig);

    EXPECT_TRUE(VerifySignature(expected_key, message, expected_sig));
    EXPECT_TRUE(VerifyDetached(expected_key, message, SignatureFileText(expected_sig)));

    for (size_t bit : {size_t{0}, size_t{255}, size_t{256}, size_t{511}}) {
      Signature bad = expected_sig;
      bad[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      EXPECT_FALSE(VerifySignature(expected_key, message, bad)) << "signature bit " << bit;
    }
    PublisherKey other_key = expected_key;
    other_key[5] ^= 0x10;
    EXPECT_FALSE(VerifySignature(other_key, message, expected_sig));
    std::string longer = message + "x";
    EXPECT_FALSE(VerifySignature(expected_key, longer, expected_sig));
    if (!message.empty()) {
      std::string changed = message;
      changed[0] ^= 1;
      EXPECT_FALSE(VerifySignature(expected_key, changed, expected_sig));
    }
  }
}

TEST(Ed25519, SignatureWithSNotBelowTheOrderIsRefused) {
  const Vector& v = kVectors[1];
  const PublisherKey key = Bytes<32>(v.public_key);
  const Signature sig = Bytes<64>(v.signature);
  const Signature high = AddOrderToS(sig);
  ASSERT_NE(high, sig);
  // S + L is the same scalar modulo L: only the range check tells it apart.
  EXPECT_FALSE(VerifySignature(key, Unhex(v.message), high));
  EXPECT_FALSE(VerifyDetached(key, Unhex(v.message), Text(high)));
}

TEST(Ed25519, KeyPairRoundTripAndDifferentKeysRefuse) {
  SigningSeed a{}, b{};
  ASSERT_TRUE(GenerateSeed(&a));
  ASSERT_TRUE(GenerateSeed(&b));
  EXPECT_NE(a, b);
  PublisherKey ka{}, kb{};
  ASSERT_TRUE(PublicKeyOfSeed(a, &ka));
  ASSERT_TRUE(PublicKeyOfSeed(b, &kb));
  const std::string doc = "<lastversionnum>1.0.0.3</lastversionnum>\r\n";
  Signature sig{};
  ASSERT_TRUE(Sign(a, doc, &sig));
  EXPECT_TRUE(VerifyDetached(ka, doc, SignatureFileText(sig)));
  EXPECT_FALSE(VerifyDetached(kb, doc, SignatureFileText(sig)));

  SigningSeed back{};
  ASSERT_TRUE(DecodeSeedFile(EncodeBase64(a.data(), a.size()) + "\r\n", &back));
  EXPECT_EQ(back, a);
  EXPECT_FALSE(DecodeSeedFile(EncodeBase64(a.data(), 31), &back));
}

TEST(Ed25519, SignatureFileTextIsStrict) {
  const Vector& v = kVectors[2];
  const PublisherKey key = Bytes<32>(v.public_key);
  const std::string message = Unhex(v.message);
  const std::string good = Text(Bytes<64>(v.signature));
  ASSERT_EQ(good.size(), 88u);

  // Trailing blanks and line ends are ignored.
  EXPECT_TRUE(VerifyDetached(key, message, good));
  EXPECT_TRUE(VerifyDetached(key, message, good + "\n"));
  EXPECT_TRUE(VerifyDetached(key, message, good + " \t\r\n\r\n"));

  EXPECT_FALSE(VerifyDetached(key, message, ""));
  EXPECT_FALSE(VerifyDetached(key, message, "\n"));
  EXPECT_FALSE(VerifyDetached(key, message, " " + good));
  EXPECT_FALSE(VerifyDetached(key, message, good.substr(0, 44) + "\n" + good.substr(44)));
  std::string bad_char = good;
  bad_char[10] = '!';
  EXPECT_FALSE(VerifyDetached(key, message, bad_char));
  std::string url_safe = good;
  for (char& c : url_safe) c = c == '+' ? '-' : c == '/' ? '_' : c;
  if (url_safe != good) {
    EXPECT_FALSE(VerifyDetached(key, message, url_safe));
  }
  // 63 and 65 bytes.
  const Signature sig = Bytes<64>(v.signature);
  EXPECT_FALSE(VerifyDetached(key, message, EncodeBase64(sig.data(), 63)));
  std::string longer(reinterpret_cast<const char*>(sig.data()), 64);
  longer += '\0';
  EXPECT_FALSE(VerifyDetached(key, message, EncodeBase64(longer.data(), longer.size())));
  // The hex text of a valid signature is not base64 of 64 bytes.
  EXPECT_FALSE(VerifyDetached(key, message, v.signature));
}

// The rotation a publisher does: sign with the old key and the new one, ship
// launchers that list the new key (and the old one meanwhile), then drop the
// old key from the signatures.
TEST(Ed25519, KeysRotateWithoutABreak) {
  SigningSeed old_seed{}, new_seed{}, other_seed{};
  PublisherKey old_key{}, new_key{}, other_key{};
  for (auto [s, k] : {std::pair{&old_seed, &old_key}, {&new_seed, &new_key}, {&other_seed, &other_key}})
    ASSERT_TRUE(GenerateSeed(s) && PublicKeyOfSeed(*s, k));
  const std::string doc = "<lastversionnum>1.0.0.4</lastversionnum>\r\n";
  Signature by_old{}, by_new{}, by_other{};
  ASSERT_TRUE(Sign(old_seed, doc, &by_old) && Sign(new_seed, doc, &by_new) && Sign(other_seed, doc, &by_other));

  const std::string both = SignatureFileText(std::vector<Signature>{by_old, by_new});
  EXPECT_EQ(both, SignatureFileText(by_old) + SignatureFileText(by_new));
  EXPECT_TRUE(VerifyDetached(old_key, doc, both));   // launchers in players' hands
  EXPECT_TRUE(VerifyDetached(new_key, doc, both));   // launchers that know only the new key
  EXPECT_TRUE(VerifyDetached(PublisherKeys{old_key, new_key}, doc, both));
  EXPECT_FALSE(VerifyDetached(other_key, doc, both));
  EXPECT_FALSE(VerifyDetached(PublisherKeys{old_key, new_key}, doc + " ", both));

  const std::string new_only = SignatureFileText(by_new);  // the old key dropped
  EXPECT_TRUE(VerifyDetached(PublisherKeys{old_key, new_key}, doc, new_only));
  EXPECT_FALSE(VerifyDetached(old_key, doc, new_only));
  EXPECT_FALSE(VerifyDetached(PublisherKeys{}, doc, new_only));

  // One bad line refuses the file, whatever the good line says; so does an
  // empty line between signatures, and a ninth line.
  const std::string good = SignatureFileText(by_new);
  EXPECT_FALSE(VerifyDetached(new_key, doc, good + "garbage\n"));
  EXPECT_FALSE(VerifyDetached(new_key, doc, good + " " + good));
  EXPECT_FALSE(VerifyDetached(new_key, doc, SignatureFileText(by_other) + "\n" + good));
  EXPECT_TRUE(VerifyDetached(new_key, doc, SignatureFileText(by_other) + good + "\r\n\r\n"));
  std::string nine;
  for (int i = 0; i < 8; ++i) nine += SignatureFileText(by_other);
  EXPECT_TRUE(VerifyDetached(other_key, doc, nine));
  EXPECT_FALSE(VerifyDetached(new_key, doc, nine + good));
}

TEST(PublicKeyText, ListsOfKeys) {
  const std::string a = EncodePublicKey(Bytes<32>(kVectors[0].public_key));
  const std::string b = EncodePublicKey(Bytes<32>(kVectors[1].public_key));
  PublisherKeys keys;
  ASSERT_TRUE(DecodePublicKeys(a, &keys));
  EXPECT_EQ(keys, (PublisherKeys{Bytes<32>(kVectors[0].public_key)}));
  ASSERT_TRUE(DecodePublicKeys(b + ", " + a + " ,\t" + b, &keys));
  EXPECT_EQ(keys.size(), 3u);
  EXPECT_EQ(keys[1], Bytes<32>(kVectors[0].public_key));
  std::string eight = a;
  for (int i = 1; i < 8; ++i) eight += "," + a;
  EXPECT_TRUE(DecodePublicKeys(eight, &keys));
  keys.clear();
  for (const std::string& bad : {std::string(), std::string(","), a + ",", "," + a, a + ",," + b, a + "," + a.substr(1),
                                 a + ";" + b, eight + "," + a})
    EXPECT_FALSE(DecodePublicKeys(bad, &keys)) << bad;
  EXPECT_TRUE(keys.empty());
}

TEST(PublicKeyText, ExactlyFortyFourCharactersOfThirtyTwoBytes) {
  const PublisherKey key = Bytes<32>(kVectors[0].public_key);
  const std::string text = EncodePublicKey(key);
  ASSERT_EQ(text.size(), 44u);
  EXPECT_EQ(text.back(), '=');
  PublisherKey back{};
  ASSERT_TRUE(DecodePublicKey(text, &back));
  EXPECT_EQ(back, key);

  EXPECT_FALSE(DecodePublicKey(EncodeBase64(key.data(), 31), &back));   // 44 characters, 31 bytes
  std::string bytes33(reinterpret_cast<const char*>(key.data()), 32);
  bytes33 += 'x';
  EXPECT_FALSE(DecodePublicKey(EncodeBase64(bytes33.data(), 33), &back));  // 44 characters, 33 bytes
  EXPECT_FALSE(DecodePublicKey(EncodeBase64(key.data(), 30), &back));   // 40 characters
  EXPECT_FALSE(DecodePublicKey(text + "\n", &back));
  EXPECT_FALSE(DecodePublicKey(" " + text.substr(1), &back));
  EXPECT_FALSE(DecodePublicKey("", &back));
  // The last character carries two unused bits; they must be zero.
  const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string unused_bits = text;
  unused_bits[42] = kAlphabet[kAlphabet.find(text[42]) ^ 1];
  EXPECT_FALSE(DecodePublicKey(unused_bits, &back));
}

TEST(Base64, KnownAnswersAndStrictDecoding) {
  const char* kPairs[][2] = {{"", ""},         {"f", "Zg=="},       {"fo", "Zm8="},        {"foo", "Zm9v"},
                             {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (auto& p : kPairs) {
    EXPECT_EQ(EncodeBase64(p[0], std::strlen(p[0])), p[1]);
    std::string back;
    ASSERT_TRUE(DecodeBase64(p[1], &back)) << p[1];
    EXPECT_EQ(back, p[0]);
  }
  std::string out;
  EXPECT_TRUE(DecodeBase64("+/+/", &out));
  EXPECT_EQ(out, "\xfb\xff\xbf");
  for (const char* bad : {"Zg=", "Zg", "Z===", "Zh==", "Zm9=", "Zm=v", "=Zm9", "Zm9v\n", "Zm 9", "Zm9-", "Zm9_"}) {
    EXPECT_FALSE(DecodeBase64(bad, &out)) << bad;
  }
  EXPECT_FALSE(DecodeBase64(std::string("Zm\0v", 4), &out));
}

TEST(Sha256, KnownAnswers) {
  Sha256 empty;
  EXPECT_EQ(empty.HexText(), "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
  Sha256 abc;
  abc.Update("abc", 3);
  EXPECT_EQ(abc.HexText(), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
  Sha256 two_blocks;
  const char* msg = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  two_blocks.Update(msg, std::strlen(msg));
  EXPECT_EQ(two_blocks.HexText(), "248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1");

  // A million 'a', fed in uneven pieces.
  Sha256 million;
  std::string piece(997, 'a');
  size_t left = 1000000;
  while (left > 0) {
    size_t n = std::min(left, piece.size());
    million.Update(piece.data(), n);
    left -= n;
  }
  EXPECT_EQ(million.HexText(), "CDC76E5C9914FB9281A1C7E284D73E67F1809A48A497200E046D39CCC7112CD0");

  million.Reset();
  million.Update("abc", 3);
  EXPECT_EQ(million.HexText(), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
}

std::string HexOf(const std::string& data) {
  Sha256 d;
  d.Update(data.data(), data.size());
  return d.HexText();
}

TEST(Sha256File, AgreesWithTheDigestAcrossChunkBoundaries) {
  testkit::TempDir dir;
  std::string pattern;
  for (int i = 0; i < 3 * kSha256FileChunk + 10; ++i) pattern.push_back(static_cast<char>((i * 131 + i / 251) & 0xFF));
  for (size_t size : {size_t{0}, size_t{1}, size_t(kSha256FileChunk - 1), size_t(kSha256FileChunk),
                      size_t(kSha256FileChunk + 1), size_t(2 * kSha256FileChunk), size_t(3 * kSha256FileChunk + 7)}) {
    SCOPED_TRACE(size);
    const std::string data = pattern.substr(0, size);
    const std::string path = dir / ("f" + std::to_string(size));
    ASSERT_TRUE(platform::WriteStringToFile(path, data));
    std::string hex;
    ASSERT_TRUE(Sha256File(path, &hex));
    EXPECT_EQ(hex, HexOf(data));
  }
  std::string hex = "untouched";
  EXPECT_FALSE(Sha256File(dir / "missing", &hex));
  EXPECT_EQ(hex, "untouched");
}

// A file that serves `data` but fails the read at `fail_at` bytes, or claims
// a size other than what it serves.
struct FakePlan {
  std::string data;
  int64_t claimed_size;
  int64_t fail_at;
};
FakePlan g_plan;

void ServeFake() {
  platform::FileCalls().open = [](const platform::FileName&, const platform::FileOpenOptions&,
                                  platform::NativeFile* out) -> platform::Status {
    *out = 0;
    return platform::Status::kOk;
  };
  platform::FileCalls().size = [](platform::NativeFile, int64_t* size) -> platform::Status {
    *size = g_plan.claimed_size;
    return g_plan.claimed_size < 0 ? platform::Status::kRetryable : platform::Status::kOk;
  };
  platform::FileCalls().read = [](platform::NativeFile, int64_t pos, void* dest, size_t n, size_t* got) -> platform::Status {
    *got = 0;
    if (g_plan.fail_at >= 0 && pos >= g_plan.fail_at) return platform::Status::kRetryable;
    int64_t take = std::min<int64_t>(static_cast<int64_t>(n), static_cast<int64_t>(g_plan.data.size()) - pos);
    if (g_plan.fail_at >= 0) take = std::min<int64_t>(take, g_plan.fail_at - pos);
    std::memcpy(dest, g_plan.data.data() + pos, static_cast<size_t>(take));
    *got = static_cast<size_t>(take);
    return platform::Status::kOk;
  };
  platform::FileCalls().close = [](platform::NativeFile) -> platform::Status { return platform::Status::kOk; };
}

TEST(Sha256File, FailsWhenAReadFailsOrTheFileChangesSize) {
  platform::ScopedFileCallsOverride restore;
  ServeFake();
  const std::string data(kSha256FileChunk + 100, 'q');
  std::string hex;

  g_plan = {data, static_cast<int64_t>(data.size()), -1};
  ASSERT_TRUE(Sha256File("fake", &hex));
  EXPECT_EQ(hex, HexOf(data));

  g_plan = {data, static_cast<int64_t>(data.size()), kSha256FileChunk + 50};  // second read fails
  EXPECT_FALSE(Sha256File("fake", &hex));
  g_plan = {data, static_cast<int64_t>(data.size()) + 1, -1};  // ends early
  EXPECT_FALSE(Sha256File("fake", &hex));
  g_plan = {data, static_cast<int64_t>(data.size()) - 1, -1};  // grew while read
  EXPECT_FALSE(Sha256File("fake", &hex));
  g_plan = {data, -1, -1};  // size unknown
  EXPECT_FALSE(Sha256File("fake", &hex));
}

}  // namespace
