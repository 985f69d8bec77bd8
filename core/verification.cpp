#include "core/verification.h"

#include <sodium.h>

#include <algorithm>
#include <vector>

#include "platform/files.h"

namespace verification {
namespace {

constexpr size_t kDigestBytes = crypto_hash_sha256_BYTES;
constexpr int kBase64Variant = sodium_base64_VARIANT_ORIGINAL;

// libsodium must be set up once before use; afterwards every call is thread-safe.
bool SodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

const unsigned char* Bytes(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

// Exactly `size` bytes decoded from Base64 `text`; nothing for any other text.
std::optional<std::vector<unsigned char>> DecodeBase64(std::string_view text, size_t size) {
    std::vector<unsigned char> bytes(size);
    size_t decoded = 0;
    // Without an end pointer libsodium refuses text that does not decode to its last byte.
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), " \t\r\n", &decoded,
                          nullptr, kBase64Variant) != 0 ||
        decoded != size)
        return std::nullopt;
    return bytes;
}

std::string EncodeBase64(const unsigned char* bytes, size_t size) {
    std::string text(sodium_base64_ENCODED_LEN(size, kBase64Variant), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes, size, kBase64Variant);
    text.resize(text.size() - 1);  // the terminating zero
    return text;
}

// The digest that a [SHA256] value states; nothing when it is not 64 hexadecimal digits.
std::optional<std::vector<unsigned char>> DigestOfText(std::string_view text) {
    std::vector<unsigned char> digest(kDigestBytes);
    size_t decoded = 0;
    if (text.size() != 2 * kDigestBytes ||
        sodium_hex2bin(digest.data(), digest.size(), text.data(), text.size(), nullptr, &decoded,
                       nullptr) != 0 ||
        decoded != kDigestBytes)
        return std::nullopt;
    return digest;
}

AnsiString HexText(const unsigned char* bytes, size_t size) {
    AnsiString text(2 * size + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), bytes, size);
    text.resize(2 * size);
    return text;
}

}  // namespace

struct StreamDigest::State {
    crypto_hash_sha256_state sha256;
};

StreamDigest::StreamDigest() : state_(std::make_unique<State>()) {
    // SHA-256 has a single implementation that nothing of sodium_init chooses, so its result
    // does not matter here; the call keeps the library's rule of being set up before use.
    SodiumReady();
    crypto_hash_sha256_init(&state_->sha256);
}

StreamDigest::~StreamDigest() = default;

void StreamDigest::Add(const char* data, size_t size) {
    crypto_hash_sha256_update(&state_->sha256, reinterpret_cast<const unsigned char*>(data), size);
}

AnsiString StreamDigest::Finish() {
    unsigned char digest[kDigestBytes];
    crypto_hash_sha256_final(&state_->sha256, digest);
    return HexText(digest, sizeof digest);
}

std::optional<AnsiString> FileDigest(const AnsiString& path) {
    StreamDigest digest;
    if (!platform::ReadFileInPieces(path,
                                    [&](const char* data, size_t size) { digest.Add(data, size); }))
        return std::nullopt;
    return digest.Finish();
}

std::string Digest(std::string_view bytes) {
    // SHA-256 has a single implementation that needs no randomness: it works even when the
    // set-up, which wants randomness for the other primitives, fails.
    SodiumReady();
    unsigned char digest[kDigestBytes];
    crypto_hash_sha256(digest, Bytes(bytes), bytes.size());
    return HexText(digest, sizeof digest);
}

bool IsDigestText(std::string_view text) {
    return text.size() == 2 * kDigestBytes && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

FileCheck CheckFile(const TIniFile& manifest, const AnsiString& fileName, const AnsiString& path) {
    std::vector<AnsiString> listed;
    manifest.ReadEntries(kDigestSection, fileName, listed);
    return CheckFile(listed, path);
}

FileCheck CheckFile(const std::vector<AnsiString>& listed, const AnsiString& path) {
    if (listed.empty()) return FileCheck::Unlisted;
    const std::optional<AnsiString> actual = FileDigest(path);
    return actual ? CheckDigest(listed, *actual) : FileCheck::Fails;
}

FileCheck CheckDigest(const std::vector<AnsiString>& listed, const AnsiString& digest) {
    if (listed.empty()) return FileCheck::Unlisted;
    const std::optional<std::vector<unsigned char>> actual = DigestOfText(digest);
    if (!actual) return FileCheck::Fails;
    for (const AnsiString& text : listed) {
        std::optional<std::vector<unsigned char>> expected = DigestOfText(text);
        if (!expected || sodium_memcmp(expected->data(), actual->data(), kDigestBytes) != 0)
            return FileCheck::Fails;
    }
    return FileCheck::Matches;
}

bool SignatureIsValid(std::string_view message, std::string_view signatureText,
                      std::string_view publicKeyText) {
    if (!SodiumReady()) return false;
    auto signature = DecodeBase64(signatureText, crypto_sign_BYTES);
    auto publicKey = DecodeBase64(publicKeyText, crypto_sign_PUBLICKEYBYTES);
    return signature && publicKey &&
           crypto_sign_verify_detached(signature->data(), Bytes(message), message.size(),
                                       publicKey->data()) == 0;
}

bool IsPublicKeyText(std::string_view text) {
    // Of 44 characters, 43 are needed for the key and its padding "=", which this variant
    // requires, and libsodium refuses unused bits that are set: no blank fits, and no second
    // spelling decodes.
    return SodiumReady() &&
           text.size() ==
               sodium_base64_ENCODED_LEN(crypto_sign_PUBLICKEYBYTES, kBase64Variant) - 1 &&
           DecodeBase64(text, crypto_sign_PUBLICKEYBYTES).has_value();
}

std::optional<KeyPair> NewKeyPair() {
    if (!SodiumReady()) return std::nullopt;
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(publicKey, secretKey);
    KeyPair pair{EncodeBase64(publicKey, sizeof publicKey),
                 EncodeBase64(secretKey, sizeof secretKey)};
    sodium_memzero(secretKey, sizeof secretKey);
    return pair;
}

std::optional<uint32_t> RandomNumber() {
    if (!SodiumReady()) return std::nullopt;
    return randombytes_random();
}

std::optional<std::string> Sign(std::string_view message, std::string_view secretKeyText) {
    if (!SodiumReady()) return std::nullopt;
    auto secretKey = DecodeBase64(secretKeyText, crypto_sign_SECRETKEYBYTES);
    if (!secretKey) return std::nullopt;
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, Bytes(message), message.size(), secretKey->data());
    sodium_memzero(secretKey->data(), secretKey->size());
    return EncodeBase64(signature, sizeof signature);
}

std::optional<std::string> PublicKeyOf(std::string_view secretKeyText) {
    if (!SodiumReady()) return std::nullopt;
    auto secretKey = DecodeBase64(secretKeyText, crypto_sign_SECRETKEYBYTES);
    if (!secretKey) return std::nullopt;
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    crypto_sign_ed25519_sk_to_pk(publicKey, secretKey->data());
    sodium_memzero(secretKey->data(), secretKey->size());
    return EncodeBase64(publicKey, sizeof publicKey);
}

}  // namespace verification
