#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>

namespace platform {
namespace {

constexpr const char* kCodePage = "GB18030";

// One iconv descriptor per direction and thread: opening one costs more than converting a
// short text, and the download progress converts texts for every chunk.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (valid()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts `input`, replacing each undecodable byte by `replacement` so that garbage
    // still yields text of the right shape.
    std::string operator()(const std::string& input, const std::string& replacement) {
        if (!valid()) return input;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        std::string out;
        out.reserve(input.size() * 2);
        char* in = const_cast<char*>(input.data());
        size_t inLeft = input.size();
        char buffer[4096];
        while (inLeft > 0) {
            char* outPtr = buffer;
            size_t outLeft = sizeof buffer;
            size_t rc = iconv(cd_, &in, &inLeft, &outPtr, &outLeft);
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
        iconv(cd_, nullptr, nullptr, &outPtr, &outLeft);
        out.append(buffer, outPtr - buffer);
        return out;
    }

private:
    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t cd_;
};

std::string Decode(const std::string& text) {
    thread_local Converter decoder("UTF-8", kCodePage);
    return decoder(text, "\xEF\xBF\xBD");
}

std::string Encode(const std::string& utf8) {
    thread_local Converter encoder(kCodePage, "UTF-8");
    return encoder(utf8, "?");
}

}  // namespace

QString ToUnicode(const AnsiString& text) {
    return QString::fromStdString(Decode(text));
}

AnsiString FromUnicode(const QString& text) {
    return Encode(text.toStdString());
}

AnsiString FromUtf8(const char* utf8) {
    return Encode(utf8);
}

std::string NativePath(const AnsiString& path) {
    std::string native = Decode(path);
    for (char& c : native)
        if (c == '\\') c = '/';
    return native;
}

size_t FindSeparator(const AnsiString& path, size_t from) {
    for (size_t i = from; i < path.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if (IsLeadByte(c))
            ++i;  // a lead byte: the next byte belongs to the same character
        else if (c == '\\' || c == '/')
            return i;
    }
    return AnsiString::npos;
}

AnsiString WithTrailingSeparator(const AnsiString& folder) {
    size_t last = AnsiString::npos;
    for (size_t at = FindSeparator(folder); at != AnsiString::npos;
         at = FindSeparator(folder, at + 1))
        last = at;
    return last != AnsiString::npos && last + 1 == folder.size() ? folder : folder + "\\";
}

}  // namespace platform
