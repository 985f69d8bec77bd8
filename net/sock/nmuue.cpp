#include "net/sock/nmuue.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>

namespace {

constexpr int kBytesPerLine = 45;

}  // namespace

void TNMUUProcessor::LoadAlphabet() {
    if (Method == uuMime) {
        std::memcpy(alphabet_, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/",
                    64);
    } else {
        // uuencode: the grave accent stands for 0 so that no line carries blanks; then "!" to "_".
        alphabet_[0] = '`';
        for (int value = 1; value < 64; ++value) alphabet_[value] = static_cast<char>(32 + value);
    }
}

void TNMUUProcessor::EncodeLines() {
    LoadAlphabet();
    const bool mime = Method == uuMime;
    unsigned char block[kBytesPerLine];
    std::string line;
    for (;;) {
        InputStream->read(reinterpret_cast<char*>(block), kBytesPerLine);
        const int count = static_cast<int>(InputStream->gcount());
        if (count == 0) break;
        line.clear();
        if (!mime) line += alphabet_[count & 63];
        int i = 0;
        for (; i + 3 <= count; i += 3) {
            line += alphabet_[block[i] >> 2];
            line += alphabet_[((block[i] & 3) << 4) | (block[i + 1] >> 4)];
            line += alphabet_[((block[i + 1] & 15) << 2) | (block[i + 2] >> 6)];
            line += alphabet_[block[i + 2] & 63];
        }
        if (count - i == 1) {
            line += alphabet_[block[i] >> 2];
            line += alphabet_[(block[i] & 3) << 4];
            if (mime) line += "==";
        } else if (count - i == 2) {
            line += alphabet_[block[i] >> 2];
            line += alphabet_[((block[i] & 3) << 4) | (block[i + 1] >> 4)];
            line += alphabet_[(block[i + 1] & 15) << 2];
            if (mime) line += "=";
        }
        line += "\r\n";
        OutputStream->write(line.data(), static_cast<std::streamsize>(line.size()));
        if (count < kBytesPerLine) break;
    }
    if (!mime) {
        const char closing[] = {alphabet_[0], '\r', '\n'};
        OutputStream->write(closing, sizeof closing);
    }
}

void TNMUUProcessor::FinishEncode() {
    try {
        OutputStream->seekp(0);
    } catch (const std::ios::failure&) {
        // A broken output cannot be rewound; the end is reported all the same, and the
        // error that broke it is the one the caller gets.
    }
    if (OnEndEncode) OnEndEncode(this);
}

void TNMUUProcessor::Encode() {
    InputStream->clear();
    InputStream->seekg(0);
    if (OnBeginEncode) OnBeginEncode(this);
    // The output is rewound and the end reported whatever happens, so a caller that catches a
    // stream error still finds the streams in a known state.
    try {
        EncodeLines();
    } catch (...) {
        FinishEncode();
        throw;
    }
    FinishEncode();
}

AnsiString MimeEncodeUnbroken(const AnsiString& text) {
    std::stringstream input(text);
    std::stringstream output;
    TNMUUProcessor encoder;
    encoder.Method = uuMime;
    encoder.InputStream = &input;
    encoder.OutputStream = &output;
    encoder.Encode();
    AnsiString encoded = output.str();
    encoded.erase(std::remove_if(encoded.begin(), encoded.end(),
                                 [](char c) { return c == '\r' || c == '\n'; }),
                  encoded.end());
    return encoded;
}
