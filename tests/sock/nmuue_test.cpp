#include "net/sock/nmuue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace {

std::string ReadDataFile(const std::string& name) {
    std::ifstream file(std::string(SOCK_TEST_DATA) + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string EncodeWith(UUMethods method, const std::string& input) {
    std::stringstream in(input);
    std::stringstream out;
    TNMUUProcessor codec;
    codec.Method = method;
    codec.InputStream = &in;
    codec.OutputStream = &out;
    codec.Encode();
    return out.str();
}

std::string WithoutLineEnds(std::string text) {
    std::erase(text, '\r');
    std::erase(text, '\n');
    return text;
}

TEST(NMUUProcessor, MimeOfShortInputsPadsTheLastGroup) {
    EXPECT_EQ(EncodeWith(uuMime, ""), "");
    EXPECT_EQ(EncodeWith(uuMime, "abc"), "YWJj\r\n");
    EXPECT_EQ(EncodeWith(uuMime, "abcd"), "YWJjZA==\r\n");
    EXPECT_EQ(EncodeWith(uuMime, "abcde"), "YWJjZGU=\r\n");
    EXPECT_EQ(EncodeWith(uuMime, "user:pass"), "dXNlcjpwYXNz\r\n");
}

TEST(NMUUProcessor, MimeBreaksLinesAfterFortyFiveInputBytes) {
    const std::string encoded = EncodeWith(uuMime, std::string(46, 'x'));
    const size_t firstEnd = encoded.find("\r\n");
    ASSERT_EQ(firstEnd, 60u);
    const std::string second = encoded.substr(62);
    EXPECT_EQ(second.size(), 6u);
    EXPECT_EQ(second.substr(2), "==\r\n");
}

// sample.b64 was captured from `base64 -w0 sample.bin`.
TEST(NMUUProcessor, MimeMatchesTheSystemBase64Tool) {
    const std::string sample = ReadDataFile("sample.bin");
    ASSERT_EQ(sample.size(), 300u);
    const std::string encoded = EncodeWith(uuMime, sample);
    EXPECT_EQ(WithoutLineEnds(encoded), ReadDataFile("sample.b64"));
    // Six full 45-byte lines and one of the remaining 30 bytes.
    EXPECT_EQ(std::count(encoded.begin(), encoded.end(), '\n'), 7);
}

TEST(NMUUProcessor, UuencodeWritesACountCharacterAndAClosingLine) {
    EXPECT_EQ(EncodeWith(uuCode, ""), "`\r\n");
    // "Cat": count 3 is "#"; no padding of the last data line.
    EXPECT_EQ(EncodeWith(uuCode, "Cat"), "#0V%T\r\n`\r\n");
    EXPECT_EQ(EncodeWith(uuCode, "C"), "!0P\r\n`\r\n");
    EXPECT_EQ(EncodeWith(uuCode, "Ca"), "\"0V$\r\n`\r\n");
}

// sample270.uu holds six full lines made by Python's binascii.b2a_uu(line, backtick=True).
TEST(NMUUProcessor, UuencodeMatchesAnIndependentEncoderOnFullLines) {
    const std::string sample = ReadDataFile("sample.bin").substr(0, 270);
    EXPECT_EQ(EncodeWith(uuCode, sample), ReadDataFile("sample270.uu") + "`\r\n");
}

TEST(NMUUProcessor, RaisesBothEventsAndRewindsTheOutput) {
    std::stringstream in("hello");
    std::stringstream out;
    TNMUUProcessor codec;
    codec.InputStream = &in;
    codec.OutputStream = &out;
    std::vector<std::string> events;
    codec.OnBeginEncode = [&](QObject* sender) {
        EXPECT_EQ(sender, &codec);
        events.push_back("begin");
    };
    codec.OnEndEncode = [&](QObject*) {
        events.push_back("end at " + std::to_string(out.tellp()));
    };
    in.get();  // Encode starts from the beginning wherever the input stands.
    codec.Encode();
    EXPECT_EQ(events, (std::vector<std::string>{"begin", "end at 0"}));
    EXPECT_EQ(out.str(), "aGVsbG8=\r\n");
}

TEST(NMUUProcessor, ReportsTheEndAlsoWhenTheOutputFails) {
    struct RefusingBuffer : std::streambuf {
        int overflow(int) override { return traits_type::eof(); }
    } refusing;
    std::stringstream in("hello");
    std::ostream out(&refusing);
    out.exceptions(std::ios::badbit);
    TNMUUProcessor codec;
    codec.InputStream = &in;
    codec.OutputStream = &out;
    bool ended = false;
    codec.OnEndEncode = [&](QObject*) { ended = true; };
    EXPECT_THROW(codec.Encode(), std::ios::failure);
    EXPECT_TRUE(ended);
}

}  // namespace
