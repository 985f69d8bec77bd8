#include "core/manifest.h"

#include <gtest/gtest.h>

#include "core/updateserver.h"
#include "platform/codepage.h"

namespace {

TEST(ManifestEntry, SplitsNameKindAndTargetFolder) {
    const struct {
        const char* value;
        const char* name;
        bool copy;
        const char* target;
    } cases[] = {
        {"Main.exe;0", "Main.exe", true, ""},
        {"Patch.exe;1", "Patch.exe", false, ""},
        {"Report.dll;0;;Plugins", "Report.dll", true, "Plugins"},
        {"d.exe;;Sub", "d.exe", false, "Sub"},  // the kind is ";": a run entry
        {"e.dll;0;;SubfolderNameLongerThan20", "e.dll", true, "SubfolderNameLongerT"},
        {"no semicolon", "", false, ""},
        {";;Sub", "", false, ""},  // ";;" at the first character names no target
        {"a.dll;", "a.dll", false, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EntryFileName(c.value), c.name) << c.value;
        EXPECT_EQ(IsCopyEntry(c.value), c.copy) << c.value;
        EXPECT_EQ(EntryTargetFolder(c.value), c.target) << c.value;
    }
}

TEST(ManifestEntry, OnlyNamesInsideTheFolderAreSafe) {
    for (const char* safe : {"a.dll", "Bin\\Customs.dll", "Bin/x.dll", "..a", "a..\\b", ""})
        EXPECT_TRUE(IsSafeRelativeName(safe)) << safe;
    for (const char* unsafe :
         {"..", "..\\a.dll", "../a.dll", "Bin\\..\\..\\a.dll", "Bin/../a", "\\a.dll", "/etc/passwd",
          "C:\\a.dll", "c:a.dll", "x:y", "Bin\\..", "a\tb", "a\x7F", "line\nbreak", "\x1B[31m"})
        EXPECT_FALSE(IsSafeRelativeName(unsafe)) << unsafe;
    // A NUL would end the native path early: "n\0x.txt" was fetched as n%00x.txt, installed as n.
    EXPECT_FALSE(IsSafeRelativeName(AnsiString("n\0x.txt", 7)));
    // The second byte of a double-byte character can be 0x5C; it separates nothing.
    const AnsiString gbk = platform::FromUtf8("乗");
    ASSERT_EQ(gbk[1], '\\');
    EXPECT_TRUE(IsSafeRelativeName(gbk + ".."));
}

TEST(ManifestEntry, AnEntryIsSafeOnlyWithASafeTargetFolder) {
    EXPECT_TRUE(IsSafeEntry("a.dll;0"));
    EXPECT_TRUE(IsSafeEntry("a.dll;0;;Plugins"));
    EXPECT_FALSE(IsSafeEntry("a.dll;0;;.."));
    EXPECT_FALSE(IsSafeEntry("a.dll;0;;..\\Other"));
    EXPECT_FALSE(IsSafeEntry("a.dll;0;;/tmp"));
    EXPECT_FALSE(IsSafeEntry("..\\a.dll;0;;Plugins"));
}

TEST(UpdateServer, FileNamesBecomeEncodedUrlPaths) {
    EXPECT_EQ(UrlPathOf("Bin\\Customs.dll"), "Bin/Customs.dll");
    EXPECT_EQ(UrlPathOf("a b%c#d?e\x01.dll"), "a%20b%25c%23d%3Fe%01.dll");
    EXPECT_EQ(UrlPathOf("x;=&+~.dll"), "x;=&+~.dll");
    EXPECT_EQ(UrlPathOf(platform::FromUtf8("表\\a")), "%B1%ED/a");
    EXPECT_EQ(UrlPathOf(platform::FromUtf8("乗\\a")), "%81%5C/a");  // 0x5C inside a character
    EXPECT_EQ(UrlPathOf("\xB1"), "%B1");                            // a lone lead byte at the end
}

TEST(UpdateServer, SizeComesFromTheContentLengthLineWhereverItStands) {
    const struct {
        const char* header;
        const char* size;
    } cases[] = {
        {"HTTP/1.0 200 OK\r\nContent-Length: 52736\r\nConnection: close\r\n\r\n", "52736"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 4096\r\nContent-Type: text/plain\r\n"
         "Connection: close\r\n\r\n",
         "4096"},
        {"HTTP/1.0 200 OK\r\nServer: x\r\ncontent-length:\t77 \r\n\r\n", "77"},
        {"HTTP/1.0 200 OK\nContent-Length: 0\n\n", "0"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 12\r\nContent-Length: 13\r\n\r\n", "12"},
        {"HTTP/1.0 200 OK\r\nConnection: close\r\n\r\n", "0"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 12a\r\n\r\n", "0"},
        {"HTTP/1.0 200 OK\r\nContent-Length: -5\r\n\r\n", "0"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 99999999999\r\n\r\n", "0"},
        {"HTTP/1.0 200 OK\r\nX-Content-Length: 5\r\n\r\n", "0"},
        {"", "0"},
    };
    for (const auto& c : cases) EXPECT_EQ(SizeFromHeader(c.header), c.size) << c.header;
}

}  // namespace
