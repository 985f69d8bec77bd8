#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace {

// "升级" in GBK.
const AnsiString kUpgrade = "\xC9\xFD\xBC\xB6";

TEST(CodePage, RoundTripsGbkThroughUnicode) {
    EXPECT_EQ(platform::ToUnicode(kUpgrade), QStringLiteral("升级"));
    EXPECT_EQ(platform::FromUnicode(QStringLiteral("升级")), kUpgrade);
    EXPECT_EQ(platform::FromUtf8("升级"), kUpgrade);
}

TEST(CodePage, KeepsCharactersOutsideGbkThroughGb18030) {
    const QString text = QStringLiteral("€ 𝄞");
    EXPECT_EQ(platform::ToUnicode(platform::FromUnicode(text)), text);
}

// A GBK character whose trail byte is 0x5C ("\") must not be split into a path separator.
TEST(CodePage, NativePathTurnsOnlyRealBackslashesIntoSlashes) {
    const AnsiString path = "\\App\\\x95\x5C.dll";  // "\App\昞.dll"
    EXPECT_EQ(platform::NativePath(path), "/App/昞.dll");
}

TEST(CodePage, InvalidBytesDecodeWithoutFailing) {
    const AnsiString garbage("a\xFF\x81\0b", 5);
    QString decoded = platform::ToUnicode(garbage);
    EXPECT_TRUE(decoded.startsWith('a'));
    EXPECT_TRUE(decoded.endsWith('b'));
    EXPECT_TRUE(decoded.contains(QChar(0xFFFD)));
}

}  // namespace
