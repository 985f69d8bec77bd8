#include "core/delta.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "core/manifest.h"
#include "core/verification.h"
#include "platform/codepage.h"
#include "platform/files.h"

namespace delta {
namespace {

constexpr size_t kDigestDigits = 64;
// The digits of the base's digest in a patch's name: enough that two bases of one file never
// share a name by chance, few enough to keep paths well below the 260 characters that Windows
// tools take.
constexpr size_t kNameDigits = 16;
constexpr const char* kPatchSuffix = ".zst";

// zstd's smallest window, and the largest that it takes on a 32-bit system.
constexpr int kSmallestWindowLog = 10;
constexpr int kLargestWindowLog = 30;
// The longest frame header the format has: enough bytes to learn the content size.
constexpr size_t kLongestFrameHeader = 18;

struct FreeCompressor {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
struct FreeDecompressor {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

bool IsDigest(const AnsiString& text) {
    return text.size() == kDigestDigits && std::all_of(text.begin(), text.end(), [](char c) {
               return std::isxdigit(static_cast<unsigned char>(c));
           });
}

std::optional<int64_t> ListedBytes(const TIniSnapshot& manifest, const AnsiString& name) {
    const std::vector<AnsiString> sizes = manifest.ReadEntries(kSizeSection, name);
    if (sizes.empty()) return std::nullopt;
    const std::optional<uint64_t> size = DecimalCount(sizes.front(), INT64_MAX);
    if (!size) return std::nullopt;
    return int64_t(*size);
}

bool Listed(const TIniSnapshot& manifest, const AnsiString& name) {
    return ListedBytes(manifest, name) &&
           !manifest.ReadEntries(verification::kDigestSection, name).empty();
}

AnsiString ZstdError(size_t code) {
    return ZSTD_getErrorName(code);
}

}  // namespace

AnsiString PatchName(const AnsiString& fileName, const AnsiString& baseDigest) {
    AnsiString digits = baseDigest.substr(0, kNameDigits);
    for (char& c : digits) c = LowerAscii(c);
    return AnsiString(kPatchFolder) + "\\" + fileName + "." + digits + kPatchSuffix;
}

bool IsPatchName(const AnsiString& name) {
    const size_t separator = platform::FindSeparator(name);
    return separator != AnsiString::npos && separator + 1 < name.size() &&
           SameTextIgnoringCase(name.substr(0, separator), kPatchFolder) &&
           IsSafeRelativeName(name);
}

std::optional<PatchLine> ParsePatchLine(const AnsiString& value) {
    const size_t semicolon = value.find(';');
    if (semicolon == AnsiString::npos) return std::nullopt;
    PatchLine line{value.substr(0, semicolon), value.substr(semicolon + 1)};
    if (!IsDigest(line.baseDigest) || line.patchName.find(';') != AnsiString::npos ||
        !IsPatchName(line.patchName))
        return std::nullopt;
    return line;
}

AnsiString PatchLineValue(const PatchLine& line) {
    return line.baseDigest + ";" + line.patchName;
}

std::optional<Patch> ChoosePatch(const TIniSnapshot& manifest, const AnsiString& fileName,
                                 const AnsiString& installedDigest) {
    if (!Listed(manifest, fileName)) return std::nullopt;
    for (const AnsiString& value : manifest.ReadEntries(kPatchSection, fileName)) {
        const std::optional<PatchLine> line = ParsePatchLine(value);
        if (!line ||
            verification::CheckDigest({line->baseDigest}, installedDigest) !=
                verification::FileCheck::Matches ||
            !Listed(manifest, line->patchName))
            continue;
        return Patch{line->patchName, line->baseDigest, *ListedBytes(manifest, line->patchName)};
    }
    return std::nullopt;
}

int PatchWindowLog(int64_t baseBytes, int64_t newBytes) {
    const uint64_t span =
        uint64_t(std::max<int64_t>(baseBytes, 0)) + uint64_t(std::max<int64_t>(newBytes, 0));
    int log = kSmallestWindowLog;
    while (log < kLargestWindowLog && (uint64_t(1) << log) < span) ++log;
    return log;
}

Made MakePatch(const AnsiString& basePath, const AnsiString& newPath, const AnsiString& patchPath,
               int64_t largestPatch, const PatchSettings& settings) {
    Made made;
    auto fail = [&](AnsiString why) {
        made.outcome = Made::Outcome::Failed;
        made.failure = std::move(why);
        return made;
    };
    const std::optional<std::string> base = platform::ReadWholeFile(basePath);
    if (!base) return fail("cannot read " + platform::ErrorText(basePath));
    const std::optional<int64_t> newBytes = platform::FileSize(newPath);
    if (!newBytes) return fail("cannot read " + platform::ErrorText(newPath));

    std::unique_ptr<ZSTD_CCtx, FreeCompressor> compressor(ZSTD_createCCtx());
    if (!compressor) return fail("no memory for a compressor");
    ZSTD_CCtx* const cctx = compressor.get();
    for (const auto& [parameter, value] :
         {std::pair{ZSTD_c_compressionLevel, settings.level},
          std::pair{ZSTD_c_windowLog, PatchWindowLog(int64_t(base->size()), *newBytes)},
          std::pair{ZSTD_c_enableLongDistanceMatching, settings.longDistanceMatching ? 1 : 0},
          // The rebuilt file's SHA-256 is checked instead, so zstd's own checksum would only
          // tell a damaged patch from another base, and that is no help to the client.
          std::pair{ZSTD_c_checksumFlag, 0}, std::pair{ZSTD_c_contentSizeFlag, 1}}) {
        if (const size_t rc = ZSTD_CCtx_setParameter(cctx, parameter, value); ZSTD_isError(rc))
            return fail("zstd refuses a setting: " + ZstdError(rc));
    }
    if (const size_t rc = ZSTD_CCtx_setPledgedSrcSize(cctx, uint64_t(*newBytes)); ZSTD_isError(rc))
        return fail("zstd refuses the size of " + newPath + ": " + ZstdError(rc));
    if (const size_t rc = ZSTD_CCtx_refPrefix(cctx, base->data(), base->size()); ZSTD_isError(rc))
        return fail("zstd refuses the base " + basePath + ": " + ZstdError(rc));

    // Why the producer below gave up, when it did.
    std::optional<Made> givenUp;
    const bool written =
        platform::WriteFileInPieces(patchPath, [&](const platform::PieceWriter& write) {
            std::vector<char> out(ZSTD_CStreamOutSize());
            // Compresses what `in` holds and hands on what comes out; with ZSTD_e_end until the
            // frame is complete.
            auto pass = [&](ZSTD_inBuffer& in, ZSTD_EndDirective mode) {
                for (;;) {
                    ZSTD_outBuffer piece{out.data(), out.size(), 0};
                    const size_t left = ZSTD_compressStream2(cctx, &piece, &in, mode);
                    if (ZSTD_isError(left)) {
                        givenUp = fail("cannot compress " + newPath + ": " + ZstdError(left));
                        return false;
                    }
                    made.bytes += int64_t(piece.pos);
                    if (made.bytes > largestPatch) {
                        givenUp = made;
                        givenUp->outcome = Made::Outcome::TooLarge;
                        return false;
                    }
                    if (!write(out.data(), piece.pos)) {
                        givenUp = fail("cannot write " + platform::ErrorText(patchPath));
                        return false;
                    }
                    if (mode == ZSTD_e_end ? left == 0 : in.pos == in.size) return true;
                }
            };
            bool going = true;
            const bool read =
                platform::ReadFileInPieces(newPath, [&](const char* data, size_t size) {
                    ZSTD_inBuffer in{data, size, 0};
                    going = going && pass(in, ZSTD_e_continue);
                });
            if (!read && !givenUp) givenUp = fail("cannot read " + platform::ErrorText(newPath));
            if (!read || !going) return false;
            ZSTD_inBuffer end{nullptr, 0, 0};
            return pass(end, ZSTD_e_end);
        });
    if (givenUp) return *givenUp;
    if (!written) return fail("cannot write " + platform::ErrorText(patchPath));
    made.outcome = Made::Outcome::Made;
    return made;
}

namespace {

// One rebuild: the frame's header checked, then the frame decoded piece by piece into the
// writer, hashed on the way.
class Rebuilder {
public:
    Rebuilder(const std::string& base, const AnsiString& patchPath, const RebuildTarget& target,
              Rebuilt& result)
        : base_(base), patchPath_(patchPath), target_(target), result_(result) {}

    // False, with the result's outcome and reason set, at the first thing that does not hold.
    bool Run(const platform::PieceWriter& write) {
        decoder_.reset(ZSTD_createDCtx());
        if (!decoder_) return Fail(Rebuilt::Outcome::CannotWrite, "no memory for a decoder");
        windowLog_ = PatchWindowLog(int64_t(base_.size()), target_.size);
        for (const size_t rc :
             {ZSTD_DCtx_setParameter(decoder_.get(), ZSTD_d_windowLogMax, windowLog_),
              ZSTD_DCtx_refPrefix(decoder_.get(), base_.data(), base_.size())})
            if (ZSTD_isError(rc))
                return Fail(Rebuilt::Outcome::PatchRefused, "zstd refuses: " + ZstdError(rc));
        out_.resize(ZSTD_DStreamOutSize());
        write_ = &write;

        const bool read =
            platform::ReadFileInPieces(patchPath_, [&](const char* data, size_t size) {
                if (failed_) return;
                if (headerChecked_) return Feed(data, size);
                // The header is checked whole, from as many bytes as the longest one takes.
                header_.append(data, size);
                if (header_.size() >= kLongestFrameHeader) FeedHeader();
            });
        result_.decoderBytes = int64_t(ZSTD_sizeof_DCtx(decoder_.get()));
        if (failed_) return false;
        if (!read)
            return Fail(Rebuilt::Outcome::PatchUnreadable,
                        "cannot read " + platform::ErrorText(patchPath_));
        if (!headerChecked_) FeedHeader();
        if (failed_) return false;
        if (!frameEnded_ || produced_ != target_.size)
            return Fail(Rebuilt::Outcome::PatchCorrupt,
                        patchPath_ + " ends before its frame does: cut short");

        result_.digest = digest_.Finish();
        if (verification::CheckDigest(target_.digests, result_.digest) !=
            verification::FileCheck::Matches)
            return Fail(Rebuilt::Outcome::DigestMismatch,
                        "the file rebuilt from " + patchPath_ + " has the SHA-256 " +
                            result_.digest + ", not the one [SHA256] lists: " +
                            (target_.digests.empty() ? AnsiString() : target_.digests.front()));
        return true;
    }

private:
    bool Fail(Rebuilt::Outcome outcome, AnsiString why) {
        failed_ = true;
        result_.outcome = outcome;
        result_.failure = std::move(why);
        return false;
    }

    // The content size that the header states must be the target's: the decoder's window is
    // never larger than it, and a frame that claims none could make any amount.
    void FeedHeader() {
        headerChecked_ = true;
        const unsigned long long size = ZSTD_getFrameContentSize(header_.data(), header_.size());
        if (size == ZSTD_CONTENTSIZE_ERROR) {
            Fail(Rebuilt::Outcome::PatchCorrupt, patchPath_ + " is no zstd frame");
        } else if (size == ZSTD_CONTENTSIZE_UNKNOWN) {
            Fail(Rebuilt::Outcome::PatchRefused,
                 patchPath_ + " does not say how many bytes it rebuilds");
        } else if (size != uint64_t(target_.size)) {
            Fail(Rebuilt::Outcome::PatchRefused, patchPath_ + " rebuilds " + std::to_string(size) +
                                                     " bytes; [SIZE] lists " +
                                                     std::to_string(target_.size));
        } else {
            Feed(header_.data(), header_.size());
        }
        header_.clear();
    }

    void Feed(const char* data, size_t size) {
        ZSTD_inBuffer in{data, size, 0};
        // zstd takes a frame's last byte only once it has handed out all it decoded, so the
        // input running out means that everything decoded so far has been handed out.
        while (in.pos < in.size && !failed_) {
            if (frameEnded_) {
                Fail(Rebuilt::Outcome::PatchCorrupt,
                     patchPath_ + " goes on after the end of its frame");
                return;
            }
            ZSTD_outBuffer piece{out_.data(), out_.size(), 0};
            const size_t rc = ZSTD_decompressStream(decoder_.get(), &piece, &in);
            if (ZSTD_isError(rc)) {
                if (ZSTD_getErrorCode(rc) == ZSTD_error_frameParameter_windowTooLarge)
                    Fail(Rebuilt::Outcome::PatchRefused,
                         patchPath_ + " asks for a window larger than " +
                             std::to_string(uint64_t(1) << windowLog_) + " bytes, more than a " +
                             "base of " + std::to_string(base_.size()) + " bytes and a file of " +
                             std::to_string(target_.size) + " need");
                else
                    Fail(Rebuilt::Outcome::PatchCorrupt,
                         patchPath_ + " is damaged: " + ZstdError(rc));
                return;
            }
            produced_ += int64_t(piece.pos);
            digest_.Add(out_.data(), piece.pos);
            if (piece.pos > 0 && !(*write_)(out_.data(), piece.pos)) {
                Fail(Rebuilt::Outcome::CannotWrite,
                     "cannot write " + platform::ErrorText(target_.path));
                return;
            }
            frameEnded_ = rc == 0;
        }
    }

    const std::string& base_;
    const AnsiString& patchPath_;
    const RebuildTarget& target_;
    Rebuilt& result_;

    std::unique_ptr<ZSTD_DCtx, FreeDecompressor> decoder_;
    int windowLog_ = 0;
    const platform::PieceWriter* write_ = nullptr;
    std::vector<char> out_;
    std::string header_;
    bool headerChecked_ = false;
    bool frameEnded_ = false;
    bool failed_ = false;
    int64_t produced_ = 0;
    verification::StreamDigest digest_;
};

}  // namespace

Rebuilt Rebuild(const AnsiString& basePath, const AnsiString& patchPath,
                const RebuildTarget& target) {
    Rebuilt result;
    if (target.digests.empty() || target.size < 0) {
        result.outcome = Rebuilt::Outcome::PatchRefused;
        result.failure = "no [SIZE] and [SHA256] to check " + target.path +
                         " against; a rebuilt file is never taken unchecked";
        return result;
    }
    const std::optional<std::string> base = platform::ReadWholeFile(basePath);
    if (!base) {
        result.outcome = Rebuilt::Outcome::BaseUnreadable;
        result.failure = "cannot read the base " + platform::ErrorText(basePath);
        return result;
    }
    Rebuilder rebuilder(*base, patchPath, target, result);
    if (platform::ReplaceFileInPieces(target.path, [&](const platform::PieceWriter& write) {
            return rebuilder.Run(write);
        })) {
        result.outcome = Rebuilt::Outcome::Rebuilt;
    } else if (result.failure.empty()) {
        // The rebuild held, or never began: the file could not be made where it belongs.
        result.outcome = Rebuilt::Outcome::CannotWrite;
        result.failure = "cannot write " + platform::ErrorText(target.path);
    }
    return result;
}

}  // namespace delta
