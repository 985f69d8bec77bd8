// The MIME and uuencode encoder on arbitrary streams: the first input byte picks the method,
// the rest is the stream. The text must be lines of 45 input bytes (the last one shorter) in
// the method's alphabet, and decode back to the stream.
#include <cstring>
#include <sstream>
#include <string_view>

#include "fuzzsupport.h"
#include "net/sock/nmuue.h"

namespace {

constexpr size_t kBytesPerLine = 45;
constexpr char kMime[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int SixBits(char c, UUMethods method) {
    if (method == uuMime) {
        const char* at = c == '\0' ? nullptr : std::strchr(kMime, c);
        return at ? static_cast<int>(at - kMime) : -1;
    }
    if (c == '`') return 0;
    return c > ' ' && c < '`' ? c - ' ' : -1;
}

// The bytes that a run of 6-bit characters holds; bits short of a whole byte are padding.
std::string Unpack(std::string_view characters, UUMethods method) {
    std::string bytes;
    unsigned bits = 0;
    int pending = 0;
    for (char c : characters) {
        const int value = SixBits(c, method);
        FUZZ_CHECK(value >= 0);
        bits = (bits << 6 | static_cast<unsigned>(value)) & 0xFFFFFF;
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            bytes += static_cast<char>(bits >> pending);
        }
    }
    return bytes;
}

std::string DecodeLine(std::string_view line, UUMethods method) {
    if (method == uuMime) {
        FUZZ_CHECK(line.size() % 4 == 0 && line.size() <= 60);
        while (!line.empty() && line.back() == '=') line.remove_suffix(1);
        return Unpack(line, method);
    }
    FUZZ_CHECK(!line.empty());
    const std::string bytes = Unpack(line.substr(1), method);
    FUZZ_CHECK(static_cast<int>(bytes.size()) == SixBits(line.front(), method));
    return bytes;
}

std::string Decode(std::string_view text, UUMethods method) {
    if (method == uuCode) {
        FUZZ_CHECK(text.size() >= 3 && text.substr(text.size() - 3) == "`\r\n");
        text.remove_suffix(3);
    }
    std::string decoded;
    while (!text.empty()) {
        const size_t end = text.find("\r\n");
        FUZZ_CHECK(end != std::string_view::npos);
        // Every line but the last carries a full block.
        FUZZ_CHECK(decoded.size() % kBytesPerLine == 0);
        decoded += DecodeLine(text.substr(0, end), method);
        text.remove_prefix(end + 2);
    }
    return decoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const UUMethods method = data[0] & 1 ? uuCode : uuMime;
    const std::string stream = fuzzsupport::Bytes(data + 1, size - 1);
    std::stringstream input(stream);
    std::stringstream output;
    TNMUUProcessor encoder;
    encoder.Method = method;
    encoder.InputStream = &input;
    encoder.OutputStream = &output;
    encoder.Encode();
    FUZZ_CHECK(Decode(output.str(), method) == stream);
    return 0;
}
