// MakeFoldersInside: the folders of a new file made inside the application folder, never
// through a link out of it.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QDir>
#include <QTemporaryDir>
#include <cerrno>

#include "platform/codepage.h"
#include "platform/files.h"

namespace {

class FoldersInsideTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QDir(dir_.path()).mkpath("app/lib64"));
        ASSERT_TRUE(QDir(dir_.path()).mkpath("outside"));
    }
    AnsiString Path(const char* name) const {
        return platform::FromUnicode(dir_.path()) + "\\" + platform::FromUtf8(name);
    }
    std::string Native(const char* name) const { return platform::NativePath(Path(name)); }
    void Link(const char* target, const char* name) const {
        ASSERT_EQ(::symlink(Native(target).c_str(), Native(name).c_str()), 0) << name;
    }
    bool IsFolder(const char* name) const { return platform::DirectoryExists(Path(name)); }

    QTemporaryDir dir_;
};

TEST_F(FoldersInsideTest, MakesEveryMissingLevelAndTakesWhatIsThere) {
    Link("app/lib64", "app/lib");
    const struct {
        const char* folder;
        const char* made;
    } cases[] = {
        {"Bin", "app/Bin"},
        {"Bin\\Plugins\\Deep", "app/Bin/Plugins/Deep"},
        {"Bin\\Plugins", "app/Bin/Plugins"},  // every level there already
        {"插件\\报表", "app/插件/报表"},      // double-byte names
        {"lib\\x86", "app/lib64/x86"},        // through a link that stays inside
        {"Bin/Mixed\\Separators", "app/Bin/Mixed/Separators"},
        {"Trailing\\", "app/Trailing"},
    };
    for (const auto& c : cases) {
        std::string error = "untouched";
        EXPECT_TRUE(platform::MakeFoldersInside(Path("app"), platform::FromUtf8(c.folder), &error))
            << c.folder << ": " << error;
        EXPECT_TRUE(IsFolder(c.made)) << c.folder;
    }
    // The application folder as the wizard writes it, with its trailing backslash.
    EXPECT_TRUE(platform::MakeFoldersInside(Path("app") + "\\", "Slash\\Sub", nullptr));
    EXPECT_TRUE(IsFolder("app/Slash/Sub"));
}

// A link inside the folder that leads out, a ".." segment and a file in the way: refused with
// the reason and the path, and nothing is made outside the application folder.
TEST_F(FoldersInsideTest, RefusesToLeaveTheFolderAndSaysWhy) {
    Link("outside", "app/escape");
    Link("app/escape", "app/chain");  // inside, but leads through the first link
    ASSERT_TRUE(platform::ReplaceFileContents(Path("app/File"), "a file"));
    const struct {
        const char* folder;
        int errnoValue;
        const char* pathInError;
    } cases[] = {
        {"escape\\Sub", EXDEV, "app\\escape"},  {"chain\\Sub", EXDEV, "app\\chain"},
        {"..\\outside\\Sub", EXDEV, "app\\.."}, {"Bin\\..\\..\\Made", EXDEV, "app\\Bin\\..\\.."},
        {"File\\Sub", ENOTDIR, "app\\File"},
    };
    for (const auto& c : cases) {
        std::string error;
        errno = 0;
        EXPECT_FALSE(platform::MakeFoldersInside(Path("app"), c.folder, &error)) << c.folder;
        EXPECT_EQ(errno, c.errnoValue) << c.folder;
        EXPECT_NE(error.find(Path(c.pathInError)), std::string::npos) << c.folder << ": " << error;
        EXPECT_GT(error.size(), Path(c.pathInError).size() + 2) << "a reason beside the path";
    }
    EXPECT_TRUE(QDir(dir_.path() + "/outside").isEmpty()) << "nothing made through the links";
    EXPECT_FALSE(QDir(dir_.path() + "/Made").exists());
    EXPECT_TRUE(IsFolder("app/Bin")) << "the level inside was made before the one outside";

    std::string error;
    EXPECT_FALSE(platform::MakeFoldersInside(Path("missing"), "Bin", &error));
    EXPECT_EQ(error, "No such file or directory: " + Path("missing"));
}

}  // namespace
