#include "net/sock/nmurl.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QUrl>

namespace {

AnsiString Encode(const AnsiString& text) {
    TNMURL codec;
    codec.InputString = text;
    return codec.Encode();
}

TEST(NMURL, KeepsLettersAndDigitsAndTurnsBlanksIntoPlus) {
    EXPECT_EQ(Encode(""), "");
    EXPECT_EQ(Encode("a b"), "a+b");
    EXPECT_EQ(Encode("Az09"), "Az09");
    EXPECT_EQ(Encode("two words"), "two+words");
}

TEST(NMURL, EncodesEveryOtherByteAsLowerCaseHex) {
    EXPECT_EQ(Encode("="), "%3d");
    EXPECT_EQ(Encode("\xC8"), "%c8");
    // Unreserved marks that other encoders leave alone are encoded here too.
    EXPECT_EQ(Encode("~-._"), "%7e%2d%2e%5f");
    EXPECT_EQ(Encode("a=1&b=/:"), "a%3d1%26b%3d%2f%3a");
    EXPECT_EQ(Encode(AnsiString("\0\r\n", 3)), "%00%0d%0a");
}

TEST(NMURL, EncodesAnEncodedTextAgain) {
    EXPECT_EQ(Encode("a%20b+c"), "a%2520b%2bc");
    EXPECT_EQ(Encode("%"), "%25");
}

// Each byte of a double-byte GBK character is encoded on its own.
TEST(NMURL, EncodesGbkBytesOneByOne) {
    EXPECT_EQ(Encode("\xC9\xFD\xBC\xB6"), "%c9%fd%bc%b6");  // 升级
}

// Qt's form decoder is an independent reference: every byte value must come back unchanged,
// and only letters and digits may appear unencoded.
TEST(NMURL, EveryByteValueRoundTripsThroughAnIndependentDecoder) {
    AnsiString all;
    for (int value = 0; value < 256; ++value) all += static_cast<char>(value);
    const AnsiString encoded = Encode(all);
    for (char c : encoded) {
        ASSERT_TRUE(isalnum(static_cast<unsigned char>(c)) || c == '%' || c == '+') << int(c);
    }
    QByteArray form = QByteArray::fromStdString(encoded);
    form.replace('+', ' ');
    EXPECT_EQ(QByteArray::fromPercentEncoding(form).toStdString(), all);
}

TEST(NMURL, EncodesTextsLongerThanSixtyFourKilobytes) {
    const AnsiString text(70000, ' ');
    EXPECT_EQ(Encode(text), AnsiString(70000, '+'));
}

}  // namespace
