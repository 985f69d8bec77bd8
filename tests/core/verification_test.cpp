#include "core/verification.h"

#include <gtest/gtest.h>

#include "support/appfolder.h"

namespace {

using verification::FileCheck;

// RFC 8032, 7.1, TEST 2: the one-byte message 0x72 and its key pair and signature, in Base64.
const std::string kRfcMessage = "\x72";
const std::string kRfcPublicKey = "PUAXw+hDiVqStwqnTRt+vJyYLM8uxJaMwM1V8Sr0Zgw=";
const std::string kRfcSecretKey =
    "TM0Imyj/ltqdtsNG7BFOD1uKMZ81q6Yk2oz27U+4pvs9QBfD6EOJWpK3CqdNG368nJgszy7ElozAzVXxKvRmDA==";
const std::string kRfcSignature =
    "kqAJqfDUyrhyDoILX2QlQKKye1QWUD+Ps3YiI+vbadoIWsHkPhWZbkWPNhPQ8R2MOHsurrQwKu6wDSkWErsMAA==";

// FIPS 180-2 examples.
const std::string kDigestOfAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kDigestOfNothing =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string Upper(std::string text) {
    for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

TEST(FileDigest, IsTheSha256OfTheWholeFileInLowerCaseHex) {
    TempAppFolder folder;
    folder.Write("abc.txt", "abc");
    folder.Write("empty.txt", "");
    EXPECT_EQ(verification::FileDigest(folder.Path("abc.txt")), kDigestOfAbc);
    EXPECT_EQ(verification::FileDigest(folder.Path("empty.txt")), kDigestOfNothing);
    EXPECT_EQ(verification::FileDigest(folder.Path("missing.txt")), std::nullopt);
    // Longer than one read; the digest was made by another SHA-256 implementation (Python).
    folder.Write("big.bin", std::string(300000, 'x'));
    EXPECT_EQ(verification::FileDigest(folder.Path("big.bin")),
              "29927e273accc68286005017f7fa6e4f27bddb4db3083ff8b8d4c3667905b7fa");
}

TEST(StreamDigest, PiecesGiveTheDigestOfTheWhole) {
    verification::StreamDigest pieces;
    pieces.Add("a", 1);
    pieces.Add("", 0);
    pieces.Add("bc", 2);
    EXPECT_EQ(pieces.Finish(), kDigestOfAbc);
    EXPECT_EQ(verification::StreamDigest().Finish(), kDigestOfNothing);
}

// A value that is there is a promise about the file: nothing that fails to keep it may pass
// as "no digest".
TEST(FileCheck, EveryListedDigestMustBeTheFiles) {
    TempAppFolder folder;
    folder.Write("abc.dll", "abc");
    const struct {
        const char* name;
        std::string section;
        const char* fileName;
        FileCheck expected;
    } cases[] = {
        {"no section", "", "abc.dll", FileCheck::Unlisted},
        {"another file's key", "[SHA256]\nother.dll=" + kDigestOfAbc, "abc.dll",
         FileCheck::Unlisted},
        {"matching", "[SHA256]\nabc.dll=" + kDigestOfAbc, "abc.dll", FileCheck::Matches},
        {"upper-case digits, blanks around", "[sha256]\nABC.Dll = " + Upper(kDigestOfAbc),
         "abc.dll", FileCheck::Matches},
        {"listed twice alike", "[SHA256]\nabc.dll=" + kDigestOfAbc + "\nABC.DLL=" + kDigestOfAbc,
         "abc.dll", FileCheck::Matches},
        {"another file's digest", "[SHA256]\nabc.dll=" + kDigestOfNothing, "abc.dll",
         FileCheck::Fails},
        {"empty value", "[SHA256]\nabc.dll=", "abc.dll", FileCheck::Fails},
        {"65 digits", "[SHA256]\nabc.dll=" + kDigestOfAbc + "0", "abc.dll", FileCheck::Fails},
        {"62 digits", "[SHA256]\nabc.dll=" + kDigestOfAbc.substr(2), "abc.dll", FileCheck::Fails},
        {"not hex", "[SHA256]\nabc.dll=" + kDigestOfAbc.substr(0, 63) + "g", "abc.dll",
         FileCheck::Fails},
        {"blank inside",
         "[SHA256]\nabc.dll=" + kDigestOfAbc.substr(0, 32) + " " + kDigestOfAbc.substr(32),
         "abc.dll", FileCheck::Fails},
        {"listed twice, right one first",
         "[SHA256]\nabc.dll=" + kDigestOfAbc + "\nABC.DLL=" + kDigestOfNothing, "abc.dll",
         FileCheck::Fails},
        {"listed twice, right one second",
         "[SHA256]\nabc.dll=" + kDigestOfNothing + "\nabc.dll=" + kDigestOfAbc, "abc.dll",
         FileCheck::Fails},
        {"listed but the file is missing", "[SHA256]\nmissing.dll=" + kDigestOfAbc, "missing.dll",
         FileCheck::Fails},
    };
    for (const auto& c : cases) {
        folder.Write("Version.ini", "[VERSION]\nVERSION=2.0\n" + c.section + "\n");
        EXPECT_EQ(verification::CheckFile(TIniFile(folder.Path("Version.ini")), c.fileName,
                                          folder.Path(c.fileName)),
                  c.expected)
            << c.name;
    }
}

TEST(ManifestSignature, SignsAndVerifiesTheRfcExample) {
    EXPECT_EQ(verification::Sign(kRfcMessage, kRfcSecretKey), kRfcSignature);
    EXPECT_TRUE(verification::SignatureIsValid(kRfcMessage, kRfcSignature, kRfcPublicKey));
}

TEST(ManifestSignature, AnythingButTheExactSignatureOfTheExactBytesFails) {
    const std::string otherKey = verification::NewKeyPair()->publicKey;
    const std::string flipped =
        std::string(1, char(kRfcSignature[0] ^ 1)) + kRfcSignature.substr(1);
    const struct {
        const char* name;
        std::string message, signature, publicKey;
        bool valid;
    } cases[] = {
        {"with a line end, as the tool writes it", kRfcMessage, kRfcSignature + "\n", kRfcPublicKey,
         true},
        {"wrapped", kRfcMessage, kRfcSignature.substr(0, 40) + "\r\n" + kRfcSignature.substr(40),
         kRfcPublicKey, true},
        {"one byte of the message changed", "\x73", kRfcSignature, kRfcPublicKey, false},
        {"a byte added to the message", kRfcMessage + "\n", kRfcSignature, kRfcPublicKey, false},
        {"another key", kRfcMessage, kRfcSignature, otherKey, false},
        {"signature changed", kRfcMessage, flipped, kRfcPublicKey, false},
        {"empty signature", kRfcMessage, "", kRfcPublicKey, false},
        {"signature of 1 MB", kRfcMessage, std::string(1 << 20, 'A'), kRfcPublicKey, false},
        {"signature twice", kRfcMessage, kRfcSignature + kRfcSignature, kRfcPublicKey, false},
        {"signature cut short", kRfcMessage, kRfcSignature.substr(0, 84), kRfcPublicKey, false},
        {"signature without its padding", kRfcMessage, kRfcSignature.substr(0, 86), kRfcPublicKey,
         false},
        {"signature not Base64", kRfcMessage, "*" + kRfcSignature.substr(1), kRfcPublicKey, false},
        {"signature in hex", kRfcMessage, std::string(128, 'a'), kRfcPublicKey, false},
        {"empty key", kRfcMessage, kRfcSignature, "", false},
        {"the secret key as the key", kRfcMessage, kRfcSignature, kRfcSecretKey, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(verification::SignatureIsValid(c.message, c.signature, c.publicKey), c.valid)
            << c.name;
}

TEST(ManifestSignature, NewKeysSignAndOnlyASecretKeySigns) {
    std::optional<verification::KeyPair> pair = verification::NewKeyPair();
    ASSERT_TRUE(pair);
    EXPECT_NE(pair->publicKey, verification::NewKeyPair()->publicKey) << "keys are random";
    const std::string manifest = "[VERSION]\r\nVERSION=2.0\r\n";
    std::optional<std::string> signature = verification::Sign(manifest, pair->secretKey);
    ASSERT_TRUE(signature);
    EXPECT_TRUE(verification::SignatureIsValid(manifest, *signature, pair->publicKey));
    for (const std::string& notSecret : {pair->publicKey, std::string(), std::string("x")})
        EXPECT_EQ(verification::Sign(manifest, notSecret), std::nullopt) << notSecret;
}

// Files name keys as text; a second spelling of one key would let a retired key pass for a
// key not retired.
TEST(PublicKeyText, EachKeyHasOneSpelling) {
    EXPECT_TRUE(verification::IsPublicKeyText(kRfcPublicKey));
    EXPECT_EQ(verification::PublicKeyOf(kRfcSecretKey), kRfcPublicKey);
    const std::string unusedBitsSet = kRfcPublicKey.substr(0, 42) + "x=";
    for (const std::string& other :
         {unusedBitsSet, kRfcPublicKey + "\n", " " + kRfcPublicKey, kRfcPublicKey.substr(0, 43),
          kRfcPublicKey.substr(0, 43) + " ",
          kRfcPublicKey.substr(0, 20) + "\n" + kRfcPublicKey.substr(20, 23), kRfcSecretKey})
        EXPECT_FALSE(verification::IsPublicKeyText(other)) << other;
    EXPECT_EQ(verification::Digest("abc"), kDigestOfAbc);
    EXPECT_TRUE(verification::IsDigestText(kDigestOfAbc));
    EXPECT_FALSE(verification::IsDigestText(Upper(kDigestOfAbc)));
}

}  // namespace
