#include "core/updaterstate.h"

#include <gtest/gtest.h>

#include "support/appfolder.h"

namespace {

// A body with the end line that the updater writes under it.
std::string Sealed(const std::string& body) {
    return body + "end " + verification::Digest(body) + "\n";
}

class UpdaterStateFile : public ::testing::Test {
protected:
    std::optional<UpdaterState> Read(std::string* error) const {
        return ReadUpdaterState(folder_.Path(kUpdaterStateFileName), error);
    }
    TempAppFolder folder_;
    const std::string key_ = verification::NewKeyPair()->publicKey;
    const std::string otherKey_ = verification::NewKeyPair()->publicKey;
};

TEST_F(UpdaterStateFile, AMissingFileIsTheEmptyState) {
    std::string error;
    EXPECT_EQ(Read(&error), UpdaterState{});
}

TEST_F(UpdaterStateFile, ReadsBackWhatItWrote) {
    UpdaterState state;
    // A folder name in the code page, a blank and "%" in URLs.
    state.highestSerials = {{"http://h/Update/", 1765432100},
                            {"http://h/\xB8\xFC\xD0\xC2 50%/", 7}};
    state.rotationsFollowed = 2;
    state.learnedKeys = {key_};
    state.retiredKeys = {otherKey_};
    state.rolloutNumber = UINT32_MAX;
    state.laterFields = {"channel pilot", "flags a b"};
    std::string error;
    ASSERT_TRUE(WriteUpdaterState(folder_.Path(kUpdaterStateFileName), state, &error)) << error;
    const std::string text = folder_.Read(kUpdaterStateFileName);
    EXPECT_NE(text.find("\nserial 7 http://h/%B8%FC%D0%C2%2050%25/\n"), std::string::npos) << text;
    EXPECT_EQ(Read(&error), state) << error;
}

// A damaged file is never taken for an empty one: that would accept an older serial or a
// retired key again.
TEST_F(UpdaterStateFile, ADamagedFileIsAnErrorWithItsReason) {
    const std::string good =
        Sealed("sendrift-state 1\nserial 5 http://h/Update/\nrotations 1\nretired " + key_ + "\n");
    const struct {
        const char* name;
        std::string text;
        std::string says;
    } cases[] = {
        {"empty", "", "line 1 is not \"sendrift-state 1\""},
        {"another version", Sealed("sendrift-state 2\n"), "a version of the file that this"},
        {"a digit changed", std::string(good).replace(good.find("serial 5"), 8, "serial 4"),
         "its end line does not name its SHA-256"},
        {"no end line", good.substr(0, good.find("end ")), "the file is cut short"},
        {"a key that is no key", Sealed("sendrift-state 1\nretired " + key_.substr(1) + "\n"),
         "line 2: \"" + key_.substr(1) + "\" is no public key"},
        {"a serial without its URL", Sealed("sendrift-state 1\nserial 5\n"),
         "line 2 is not \"serial <count> <URL>\""},
        {"a URL spelt otherwise", Sealed("sendrift-state 1\nserial 5 http://h/%41/\n"),
         "line 2 is not \"serial <count> <URL>\""},
        {"a folder's serial twice",
         Sealed("sendrift-state 1\nserial 5 http://h/\nserial 9 http://h/\n"),
         "line 3 gives the serial of http://h/ a second time"},
        {"rotations twice", Sealed("sendrift-state 1\nrotations 1\nrotations 0\n"),
         "line 3 gives the rotations a second time"},
        {"no field", Sealed("sendrift-state 1\n Serial 5\n"), "line 2 is no field"},
        {"a rollout number above 32 bits", Sealed("sendrift-state 1\nrollout 4294967296\n"),
         "line 2: the rollout number 4294967296 is above 4294967295"},
        {"the rollout number twice", Sealed("sendrift-state 1\nrollout 1\nrollout 1\n"),
         "line 3 gives the rollout number a second time"},
        {"CR LF", Sealed("sendrift-state 1\r\nrotations 1\r\n"), "line 1 is not"},
    };
    for (const auto& c : cases) {
        folder_.Write(kUpdaterStateFileName, c.text);
        std::string error;
        EXPECT_FALSE(Read(&error)) << c.name;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(error.rfind("damaged: ", 0), 0u) << error;
    }
    // Cut short anywhere.
    for (size_t size = 1; size < good.size(); ++size) {
        folder_.Write(kUpdaterStateFileName, good.substr(0, size));
        std::string error;
        EXPECT_FALSE(Read(&error)) << size;
    }
}

TEST_F(UpdaterStateFile, TheInstallationNumberIsDrawnOnceAndKeptWithTheRest) {
    UpdaterState state;
    state.highestSerials = {{"http://h/Update/", 5}};
    state.laterFields = {"channel pilot"};
    std::string error;
    const AnsiString path = folder_.Path(kUpdaterStateFileName);
    ASSERT_TRUE(WriteUpdaterState(path, state, &error)) << error;
    const std::optional<uint32_t> number = InstallationNumber(path, &error);
    ASSERT_TRUE(number) << error;
    state.rolloutNumber = number;
    EXPECT_EQ(Read(&error), state) << error;
    EXPECT_EQ(InstallationNumber(path, &error), number);
}

// A number that is not kept would be drawn anew by the next run, and a damaged file rewritten
// with one would lose what it held.
TEST_F(UpdaterStateFile, NoInstallationNumberFromADamagedOrUnwritableFile) {
    folder_.Write(kUpdaterStateFileName, "sendrift-state 1\n");
    std::string error;
    EXPECT_FALSE(InstallationNumber(folder_.Path(kUpdaterStateFileName), &error));
    EXPECT_NE(error.find("damaged: "), std::string::npos) << error;
    EXPECT_EQ(folder_.Read(kUpdaterStateFileName), "sendrift-state 1\n");
    error.clear();
    EXPECT_FALSE(InstallationNumber(folder_.Path("missing\\sendrift.state"), &error));
    EXPECT_NE(error.find("cannot write: "), std::string::npos) << error;
}

TEST_F(UpdaterStateFile, AWriteThatFailsSaysSoAndLeavesNoFile) {
    std::string error;
    const AnsiString path = folder_.Path("missing\\sendrift.state");
    EXPECT_FALSE(WriteUpdaterState(path, UpdaterState{}, &error));
    EXPECT_NE(error.find("cannot write: "), std::string::npos) << error;
    EXPECT_FALSE(platform::FileExists(path));
}

}  // namespace
