#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>

namespace platform {
namespace {

constexpr const char* kCodePage = "GB18030";

// Converts with iconv, replacing each undecodable byte by `replacement` so that garbage
// input still yields text of the right shape.
std::string Convert(const char* to, const char* from, const std::string& input,
                    const std::string& replacement) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return input;
    std::string out;
    out.reserve(input.size() * 2);
    char* in = const_cast<char*>(input.data());
    size_t inLeft = input.size();
    char buffer[4096];
    while (inLeft > 0) {
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, outPtr - buffer);
        if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
            // EILSEQ or EINVAL (a truncated sequence at the end): skip one byte.
            out += replacement;
            ++in;
            --inLeft;
        }
    }
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    out.append(buffer, outPtr - buffer);
    iconv_close(cd);
    return out;
}

}  // namespace

QString ToUnicode(const AnsiString& text) {
    return QString::fromStdString(Convert("UTF-8", kCodePage, text, "\xEF\xBF\xBD"));
}

AnsiString FromUnicode(const QString& text) {
    return Convert(kCodePage, "UTF-8", text.toStdString(), "?");
}

AnsiString FromUtf8(const char* utf8) { return Convert(kCodePage, "UTF-8", utf8, "?"); }

std::string NativePath(const AnsiString& path) {
    std::string native = Convert("UTF-8", kCodePage, path, "\xEF\xBF\xBD");
    for (char& c : native)
        if (c == '\\') c = '/';
    return native;
}

}  // namespace platform
