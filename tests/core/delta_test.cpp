#include "core/delta.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <random>

#include "core/verification.h"
#include "support/appfolder.h"

namespace {

using delta::Made;
using delta::Rebuilt;

std::string RandomBytes(size_t size, uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = char(random());
    return bytes;
}

// The next version of `base` as a point release changes a program: a few bytes patched here and
// there, a function inserted, another one removed.
std::string NextVersion(std::string bytes) {
    for (size_t at = 1000; at < bytes.size(); at += 97331) bytes[at] = char(bytes[at] ^ 0x5A);
    bytes.insert(bytes.size() / 3, RandomBytes(3000, 7));
    bytes.erase(bytes.size() * 2 / 3, 2000);
    return bytes;
}

std::string Digest(const std::string& bytes) {
    verification::StreamDigest digest;
    digest.Add(bytes.data(), bytes.size());
    return digest.Finish();
}

// A base, its next version and the patch between them, in a folder laid out as the client's:
// the installed base, the patch fetched into Update\.delta, the file rebuilt into Update\.
class DeltaTest : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = RandomBytes(1 << 20, 1);
        next_ = NextVersion(base_);
        folder_.Write("base.dll", base_);
        folder_.Write("next.dll", next_);
        ASSERT_TRUE(QDir().mkpath(folder_.NativeFolder() + "/Update/.delta"));
        const Made made = delta::MakePatch(folder_.Path("base.dll"), folder_.Path("next.dll"),
                                           Patch(), INT64_MAX);
        ASSERT_EQ(made.outcome, Made::Outcome::Made) << made.failure;
        patch_ = folder_.Read("Update/.delta/next.dll.zst");
        ASSERT_EQ(int64_t(patch_.size()), made.bytes);
    }

    AnsiString Patch() const { return folder_.Path("Update/.delta/next.dll.zst"); }
    delta::RebuildTarget Target() const {
        return {folder_.Path("Update/next.dll"), int64_t(next_.size()), {Digest(next_)}};
    }
    Rebuilt RebuildFrom(const std::string& patch) const { return RebuildFrom(patch, Target()); }
    Rebuilt RebuildFrom(const std::string& patch, const delta::RebuildTarget& target) const {
        folder_.Write("Update/.delta/next.dll.zst", patch);
        return delta::Rebuild(folder_.Path("base.dll"), Patch(), target);
    }
    // Nothing may be left where the rebuilt file goes, nor beside it.
    void ExpectNothingWritten(const char* what) const {
        EXPECT_EQ(QDir(folder_.NativeFolder() + "/Update").entryList(QDir::Files | QDir::Hidden),
                  QStringList())
            << what;
    }

    TempAppFolder folder_;
    std::string base_, next_, patch_;
};

TEST_F(DeltaTest, RebuildGivesTheNewFileByteForByteAndItsDigest) {
    // A point release costs a few hundredths of the file.
    EXPECT_LT(patch_.size(), next_.size() / 50);
    folder_.Write("Update/next.dll", "a partial copy of an earlier try");
    const Rebuilt rebuilt = delta::Rebuild(folder_.Path("base.dll"), Patch(), Target());
    ASSERT_TRUE(rebuilt) << rebuilt.failure;
    EXPECT_EQ(rebuilt.failure, "");
    EXPECT_TRUE(folder_.Read("Update/next.dll") == next_);
    EXPECT_EQ(rebuilt.digest, Digest(next_));
    // The decoder holds one window of the file, not the base as well.
    EXPECT_LT(rebuilt.decoderBytes, int64_t(next_.size()) + (1 << 20));
    EXPECT_FALSE(platform::FileExists(folder_.Path("Update/next.dll.sendrift-new")));
}

// An installed file that someone edited, or a patch that belongs to another file: the bytes
// come out whole but are not the release's, and the caller learns it from the outcome.
TEST_F(DeltaTest, BytesThatAreNotTheListedFileAreADigestMismatchAndNeverPutInPlace) {
    std::string edited = base_;
    edited[5000] = char(edited[5000] ^ 1);
    folder_.Write("base.dll", edited);
    Rebuilt rebuilt = delta::Rebuild(folder_.Path("base.dll"), Patch(), Target());
    EXPECT_EQ(rebuilt.outcome, Rebuilt::Outcome::DigestMismatch);
    EXPECT_NE(rebuilt.failure.find("not the one [SHA256] lists"), std::string::npos)
        << rebuilt.failure;
    EXPECT_EQ(rebuilt.digest.size(), 64u);
    ExpectNothingWritten("another base");

    // A valid patch of the same size that rebuilds other bytes.
    folder_.Write("base.dll", base_);
    std::string other = next_;
    other[100] = char(other[100] ^ 1);
    folder_.Write("other.dll", other);
    ASSERT_EQ(
        delta::MakePatch(folder_.Path("base.dll"), folder_.Path("other.dll"), Patch(), INT64_MAX)
            .outcome,
        Made::Outcome::Made);
    rebuilt = delta::Rebuild(folder_.Path("base.dll"), Patch(), Target());
    EXPECT_EQ(rebuilt.outcome, Rebuilt::Outcome::DigestMismatch);
    ExpectNothingWritten("a patch of other bytes");
}

TEST_F(DeltaTest, DamagedPatchesFailWithAReasonAndLeaveNothingBehind) {
    const struct {
        const char* name;
        std::string patch;
        Rebuilt::Outcome outcome;
        const char* says;
    } cases[] = {
        {"cut in half", patch_.substr(0, patch_.size() / 2), Rebuilt::Outcome::PatchCorrupt,
         "cut short"},
        {"cut before its checksum", patch_.substr(0, patch_.size() - 2),
         Rebuilt::Outcome::PatchCorrupt, "cut short"},
        {"cut inside its header", patch_.substr(0, 5), Rebuilt::Outcome::PatchCorrupt,
         "is no zstd frame"},
        {"empty", "", Rebuilt::Outcome::PatchCorrupt, "is no zstd frame"},
        {"no zstd frame at all", std::string(4096, 'x'), Rebuilt::Outcome::PatchCorrupt,
         "is no zstd frame"},
        {"bytes after the frame", patch_ + "more", Rebuilt::Outcome::PatchCorrupt,
         "goes on after the end of its frame"},
        {"a second frame after the first", patch_ + patch_, Rebuilt::Outcome::PatchCorrupt,
         "goes on after the end of its frame"},
    };
    for (const auto& c : cases) {
        const Rebuilt rebuilt = RebuildFrom(c.patch);
        EXPECT_EQ(rebuilt.outcome, c.outcome) << c.name << ": " << rebuilt.failure;
        EXPECT_NE(rebuilt.failure.find(c.says), std::string::npos)
            << c.name << ": " << rebuilt.failure;
        ExpectNothingWritten(c.name);
    }

    // A changed byte either breaks the frame or changes what it makes; either way the file
    // does not come out.
    std::string changed = patch_;
    changed[changed.size() / 2] = char(changed[changed.size() / 2] ^ 0xFF);
    const Rebuilt rebuilt = RebuildFrom(changed);
    EXPECT_TRUE(rebuilt.outcome == Rebuilt::Outcome::PatchCorrupt ||
                rebuilt.outcome == Rebuilt::Outcome::DigestMismatch)
        << rebuilt.failure;
    ExpectNothingWritten("a byte changed");
}

TEST_F(DeltaTest, AMissingBaseOrPatchIsUnreadableAndAnUncheckedTargetIsRefused) {
    Rebuilt rebuilt = delta::Rebuild(folder_.Path("gone.dll"), Patch(), Target());
    EXPECT_EQ(rebuilt.outcome, Rebuilt::Outcome::BaseUnreadable);
    EXPECT_NE(rebuilt.failure.find("gone.dll"), std::string::npos) << rebuilt.failure;

    rebuilt =
        delta::Rebuild(folder_.Path("base.dll"), folder_.Path("Update/.delta/gone.zst"), Target());
    EXPECT_EQ(rebuilt.outcome, Rebuilt::Outcome::PatchUnreadable);
    EXPECT_NE(rebuilt.failure.find("gone.zst"), std::string::npos) << rebuilt.failure;

    delta::RebuildTarget unchecked = Target();
    unchecked.digests.clear();
    rebuilt = delta::Rebuild(folder_.Path("base.dll"), Patch(), unchecked);
    EXPECT_EQ(rebuilt.outcome, Rebuilt::Outcome::PatchRefused);

    delta::RebuildTarget longer = Target();
    longer.size += 1;
    rebuilt = delta::Rebuild(folder_.Path("base.dll"), Patch(), longer);
    EXPECT_EQ(rebuilt.outcome, Rebuilt::Outcome::PatchRefused);
    EXPECT_NE(rebuilt.failure.find("[SIZE] lists"), std::string::npos) << rebuilt.failure;

    delta::RebuildTarget noFolder = Target();
    noFolder.path = folder_.Path("Missing/next.dll");
    rebuilt = delta::Rebuild(folder_.Path("base.dll"), Patch(), noFolder);
    EXPECT_EQ(rebuilt.outcome, Rebuilt::Outcome::CannotWrite);
    EXPECT_NE(rebuilt.failure.find("Missing"), std::string::npos) << rebuilt.failure;
    ExpectNothingWritten("refused");
}

// A frame header that claims a window of 64 MiB for a file of 200,000 bytes and a base of 1,000:
// the decoder would set that much aside (zstd's own limit is 128 MiB) unless the window is
// bounded by what the base and the file need.
TEST_F(DeltaTest, AFrameThatClaimsAHugeWindowIsRefusedBeforeTheDecoderAllocatesIt) {
    folder_.Write("base.dll", base_.substr(0, 1000));
    const std::string content(200000, 'x');
    const delta::RebuildTarget target{
        folder_.Path("Update/next.dll"), int64_t(content.size()), {Digest(content)}};
    // A frame of two raw blocks with the window byte given, a four-byte content size, not a
    // single segment.
    auto frame = [&](char window) {
        return std::string("\x28\xB5\x2F\xFD\x80", 5) + window +
               std::string("\x40\x0D\x03\x00", 4) + std::string("\x00\x00\x10", 3) +
               content.substr(0, 131072) + std::string("\x01\x6A\x08", 3) + content.substr(131072);
    };
    // The same frame with a window of 2^(10 + 7) is rebuilt: only the window is refused below.
    Rebuilt rebuilt = RebuildFrom(frame('\x38'), target);
    ASSERT_TRUE(rebuilt) << rebuilt.failure;
    QFile::remove(folder_.NativeFolder() + "/Update/next.dll");

    rebuilt = RebuildFrom(frame('\x80'), target);  // 2^(10 + 16)
    EXPECT_EQ(rebuilt.outcome, Rebuilt::Outcome::PatchRefused) << rebuilt.failure;
    EXPECT_NE(rebuilt.failure.find("asks for a window larger than 262144 bytes"), std::string::npos)
        << rebuilt.failure;
    EXPECT_LT(rebuilt.decoderBytes, 1 << 20);
    ExpectNothingWritten("a huge window");

    // A frame that does not state its size could make any amount.
    rebuilt = RebuildFrom(std::string("\x28\xB5\x2F\xFD\x00\x00", 6) + "\x41\x1F" +
                              std::string(1, '\0') + std::string(1000, 'x'),
                          target);
    EXPECT_EQ(rebuilt.outcome, Rebuilt::Outcome::PatchRefused) << rebuilt.failure;
    EXPECT_NE(rebuilt.failure.find("does not say how many bytes"), std::string::npos);
}

TEST_F(DeltaTest, APatchPastTheLimitIsGivenUpAndNothingIsWritten) {
    folder_.Write("unrelated.dll", RandomBytes(200000, 99));
    const AnsiString patch = folder_.Path("Update/.delta/unrelated.dll.zst");
    const Made made =
        delta::MakePatch(folder_.Path("base.dll"), folder_.Path("unrelated.dll"), patch, 150000);
    EXPECT_EQ(made.outcome, Made::Outcome::TooLarge);
    EXPECT_FALSE(platform::FileExists(patch));
    EXPECT_FALSE(platform::FileExists(patch + ".sendrift-new"));

    const Made missing =
        delta::MakePatch(folder_.Path("base.dll"), folder_.Path("gone.dll"), patch, INT64_MAX);
    EXPECT_EQ(missing.outcome, Made::Outcome::Failed);
    EXPECT_NE(missing.failure.find("gone.dll"), std::string::npos) << missing.failure;
}

TEST(DeltaWindow, HoldsBaseAndFileWithinZstdsBounds) {
    EXPECT_EQ(delta::PatchWindowLog(0, 0), 10);
    EXPECT_EQ(delta::PatchWindowLog(1000, 1000), 11);
    EXPECT_EQ(delta::PatchWindowLog(1 << 20, 1 << 20), 21);
    EXPECT_EQ(delta::PatchWindowLog((1 << 20) + 1, 1 << 20), 22);
    EXPECT_EQ(delta::PatchWindowLog(INT32_MAX, INT32_MAX), 30);
}

TEST(DeltaNames, PatchesLieInTheirOwnFolderWhateverTheLetterCase) {
    const std::string digest = "0123456789ABCDEF" + std::string(48, 'a');
    EXPECT_EQ(delta::PatchName("Bin\\Customs.dll", digest),
              ".delta\\Bin\\Customs.dll.0123456789abcdef.zst");
    for (const char* name : {".delta\\a.zst", ".DELTA\\Bin\\a.zst", ".delta/a"})
        EXPECT_TRUE(delta::IsPatchName(name)) << name;
    for (const char* name : {".delta", ".delta\\", "Bin\\.delta\\a.zst", "a.zst",
                             ".delta\\..\\a.dll", ".delta\\a\x01.zst", "\\.delta\\a.zst"})
        EXPECT_FALSE(delta::IsPatchName(name)) << name;
}

TEST(DeltaChoice, TakesTheFirstUsableLineForTheInstalledBase) {
    const std::string base1(64, 'a'), base2(64, 'b');
    auto patch = [](const std::string& base) {
        return ".delta\\A.dll." + base.substr(0, 16) + ".zst";
    };
    auto line = [&](const std::string& base) { return "A.dll=" + base + ";" + patch(base); };
    // The file and the patches of both bases listed in [SIZE] and [SHA256].
    const std::string sizes = "A.dll=500\r\n" + patch(base1) + "=40\r\n" + patch(base2) + "=50";
    const std::string digests = "A.dll=" + std::string(64, 'f') + "\r\n" + patch(base1) + "=" +
                                std::string(64, 'e') + "\r\n" + patch(base2) + "=" +
                                std::string(64, 'd');
    const struct {
        const char* name;
        std::string lines, sizes, digests, installed;
        std::optional<std::string> chosen;
    } cases[] = {
        {"the line of the installed base", line(base1) + "\r\na.DLL=" + base2 + ";" + patch(base2),
         sizes, digests, base2, patch(base2)},
        {"a digest in capitals", line(base1), sizes, digests, std::string(64, 'A'), patch(base1)},
        {"no line for that base", line(base1), sizes, digests, base2, std::nullopt},
        {"a patch without [SIZE]", line(base1), "A.dll=500", digests, base1, std::nullopt},
        {"a patch whose [SIZE] is no size", line(base1), "A.dll=500\r\n" + patch(base1) + "=4O",
         digests, base1, std::nullopt},
        {"a patch without [SHA256]", line(base1), sizes, "A.dll=" + std::string(64, 'f'), base1,
         std::nullopt},
        {"a file without [SHA256] to check the rebuilt bytes", line(base1), sizes,
         patch(base1) + "=" + std::string(64, 'e'), base1, std::nullopt},
        {"a patch named outside the patch folder", "A.dll=" + base1 + ";A.dll", sizes, digests,
         base1, std::nullopt},
        {"a line without a patch", "A.dll=" + base1, sizes, digests, base1, std::nullopt},
        {"a line with a third field", line(base1) + ";x", sizes, digests, base1, std::nullopt},
        {"a broken line before a good one", "A.dll=" + base1 + "\r\n" + line(base1), sizes, digests,
         base1, patch(base1)},
    };
    TempAppFolder folder;
    for (const auto& c : cases) {
        folder.Write("Version.ini", "[DELTA]\r\n" + c.lines + "\r\n[SIZE]\r\n" + c.sizes +
                                        "\r\n[SHA256]\r\n" + c.digests + "\r\n");
        const TIniSnapshot manifest(folder.Path("Version.ini"));
        const std::optional<delta::Patch> chosen =
            delta::ChoosePatch(manifest, "A.dll", c.installed);
        EXPECT_EQ(chosen ? std::optional(chosen->name) : std::nullopt, c.chosen) << c.name;
        if (chosen) {
            EXPECT_EQ(chosen->size, chosen->name == patch(base1) ? 40 : 50) << c.name;
        }
    }
}

}  // namespace
