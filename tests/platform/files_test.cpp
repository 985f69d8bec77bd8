#include "platform/files.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <QDir>
#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>

#include "platform/codepage.h"

namespace {

class FilesTest : public ::testing::Test {
protected:
    // Code-page path of `name` inside the temporary folder, written as the wizard writes it.
    AnsiString Path(const char* name) const {
        return platform::FromUnicode(QDir::toNativeSeparators(dir_.path()).replace('/', '\\')) +
               "\\" + platform::FromUtf8(name);
    }
    std::string Native(const char* name) const { return platform::NativePath(Path(name)); }
    void Write(const char* name, const std::string& contents) const {
        std::ofstream(Native(name), std::ios::binary) << contents;
    }

    QTemporaryDir dir_;
};

TEST_F(FilesTest, CopyOverwritesAndKeepsTheSourcesWriteTime) {
    Write("源.dll", "new contents");
    Write("target.dll", "old contents that are longer");
    struct utimbuf stamp = {1000000000, 1000000000};  // 2001-09-09
    ASSERT_EQ(::utime(Native("源.dll").c_str(), &stamp), 0);

    ASSERT_TRUE(platform::CopyFile(Path("源.dll"), Path("target.dll")));
    EXPECT_EQ(platform::ReadWholeFile(Path("target.dll")), "new contents");
    struct stat info;
    ASSERT_EQ(::stat(Native("target.dll").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtime, 1000000000);
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files).size(), 2) << "no temporary copy left";
}

TEST_F(FilesTest, CopyOfAMissingSourceFailsAndLeavesTheTarget) {
    Write("target.dll", "kept");
    EXPECT_FALSE(platform::CopyFile(Path("missing.dll"), Path("target.dll")));
    EXPECT_EQ(platform::ReadWholeFile(Path("target.dll")), "kept");
}

TEST_F(FilesTest, CreatesOneFolderLevelOnly) {
    EXPECT_TRUE(platform::CreateDirectory(Path("Update")));
    EXPECT_TRUE(platform::DirectoryExists(Path("Update")));
    EXPECT_TRUE(platform::CreateDirectory(Path("Update"))) << "an existing folder is fine";
    EXPECT_FALSE(platform::CreateDirectory(Path("a\\b")));
    EXPECT_FALSE(platform::FileExists(Path("Update")));
}

TEST_F(FilesTest, ReplaceFileContentsFailsInAMissingFolder) {
    EXPECT_FALSE(platform::ReplaceFileContents(Path("none\\setup.ini"), "x"));
    EXPECT_TRUE(platform::ReplaceFileContents(Path("setup.ini"), "x"));
    EXPECT_EQ(platform::ReadWholeFile(Path("setup.ini")), "x");
}

// Writers that rewrite a whole file start from nothing only when nothing is there, so a
// path that holds something unreadable must not be reported as missing.
TEST_F(FilesTest, ReadWholeFileSaysWhetherAnythingIsThere) {
    Write("a.txt", "x");
    ASSERT_TRUE(platform::CreateDirectory(Path("folder")));
    const struct {
        const char* name;
        platform::ReadFailure expected;
    } cases[] = {
        {"missing.txt", platform::ReadFailure::Missing},
        {"none\\a.txt", platform::ReadFailure::Missing},
        {"a.txt\\b.txt", platform::ReadFailure::Missing},
        {"folder", platform::ReadFailure::Unreadable},
    };
    for (const auto& c : cases) {
        platform::ReadFailure failure = c.expected == platform::ReadFailure::Missing
                                            ? platform::ReadFailure::Unreadable
                                            : platform::ReadFailure::Missing;
        EXPECT_FALSE(platform::ReadWholeFile(Path(c.name), &failure)) << c.name;
        EXPECT_EQ(failure, c.expected) << c.name;
    }
    EXPECT_EQ(platform::ReadWholeFile(Path("a.txt")), "x");
}

TEST_F(FilesTest, LastWriteTimeIsLocalTime) {
    Write("a.txt", "");
    struct tm local = {};
    local.tm_year = 2020 - 1900;
    local.tm_mon = 1;
    local.tm_mday = 29;
    local.tm_hour = 23;
    local.tm_min = 59;
    local.tm_sec = 59;
    local.tm_isdst = -1;
    struct utimbuf stamp = {mktime(&local), mktime(&local)};
    ASSERT_EQ(::utime(Native("a.txt").c_str(), &stamp), 0);
    auto written = platform::LastWriteTime(Path("a.txt"));
    ASSERT_TRUE(written);
    EXPECT_EQ(written->year, 2020);
    EXPECT_EQ(written->month, 2);
    EXPECT_EQ(written->day, 29);
    EXPECT_EQ(written->hour, 23);
    EXPECT_FALSE(platform::LastWriteTime(Path("missing.txt")));
}

TEST_F(FilesTest, DeleteRemovesOnlyFiles) {
    Write("a.txt", "");
    EXPECT_TRUE(platform::DeleteFile(Path("a.txt")));
    EXPECT_FALSE(platform::FileExists(Path("a.txt")));
    EXPECT_FALSE(platform::DeleteFile(Path("a.txt")));
}

TEST_F(FilesTest, ReadFileInPiecesHandsOverTheWholeFileInBoundedPieces) {
    std::string contents(200000, '\0');
    for (size_t i = 0; i < contents.size(); ++i) contents[i] = char(i * 7 % 251);
    Write("big.bin", contents);
    ASSERT_TRUE(platform::CreateDirectory(Path("folder")));
    std::string read;
    size_t pieces = 0;
    EXPECT_TRUE(platform::ReadFileInPieces(Path("big.bin"), [&](const char* data, size_t size) {
        read.append(data, size);
        ++pieces;
    }));
    EXPECT_EQ(read, contents);
    EXPECT_GT(pieces, 1u) << "the file passes through a buffer, not in one piece";
    for (const char* unreadable : {"missing.bin", "folder"}) {
        bool called = false;
        EXPECT_FALSE(platform::ReadFileInPieces(Path(unreadable), [&](const char*, size_t) {
            called = true;
        })) << unreadable;
        EXPECT_FALSE(called) << unreadable;
    }
}

// A secret key must neither be readable by others nor replace, or be written through, what is
// already at its path.
TEST_F(FilesTest, CreatePrivateFileMakesANewOwnerOnlyFileAndNothingElse) {
    ASSERT_TRUE(platform::CreatePrivateFile(Path("secret.key"), "key\n"));
    EXPECT_EQ(platform::ReadWholeFile(Path("secret.key")), "key\n");
    struct stat info;
    ASSERT_EQ(::stat(Native("secret.key").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    Write("victim.txt", "kept");
    ASSERT_EQ(::symlink(Native("victim.txt").c_str(), Native("link.key").c_str()), 0);
    for (const char* taken : {"secret.key", "victim.txt", "link.key"})
        EXPECT_FALSE(platform::CreatePrivateFile(Path(taken), "other")) << taken;
    EXPECT_EQ(platform::ReadWholeFile(Path("secret.key")), "key\n");
    EXPECT_EQ(platform::ReadWholeFile(Path("victim.txt")), "kept");
    EXPECT_FALSE(platform::CreatePrivateFile(Path("none\\secret.key"), "key"));
}

}  // namespace
