#include "tools/publish/patches.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <unordered_map>

#include "core/manifest.h"
#include "core/verification.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "tools/publish/common.h"

namespace publish {

void RefusePatchFolder(const std::vector<AnsiString>& releaseFiles) {
    for (const AnsiString& file : releaseFiles)
        if (delta::IsPatchName(file))
            throw Failure{"the file " + Printable(file) + " lies in " + delta::kPatchFolder +
                          ", the folder that patches are published in; rename it, or publish "
                          "without patches (--no-delta)"};
}

ReleasePatches MakePatches(const AnsiString& newFolder, const std::vector<PatchBases>& versions,
                           const std::function<AnsiString(const AnsiString& path)>& digestOf,
                           const AnsiString& workFolder) {
    // Each file and base once, however many versions share that base.
    struct Task {
        ReleasePatch patch;
        AnsiString base, newFile;
        int64_t largest = 0;
        delta::Made made;
        std::optional<AnsiString> digest;
    };
    std::vector<Task> tasks;
    std::unordered_map<std::string, size_t> byName;  // folded patch name -> its task
    // Per version, each file with the task of its base.
    std::vector<std::vector<std::pair<AnsiString, size_t>>> uses;
    for (const PatchBases& version : versions) {
        auto& used = uses.emplace_back();
        for (const AnsiString& file : version.files) {
            const AnsiString base = JoinPath(version.folder, file);
            const AnsiString baseDigest = digestOf(base);
            const AnsiString name = delta::PatchName(file, baseDigest);
            auto [at, first] = byName.try_emplace(FoldedName(name), tasks.size());
            used.emplace_back(file, at->second);
            if (!first) continue;
            const AnsiString newFile = JoinPath(newFolder, file);
            const int64_t size = FileSize(newFile);
            if (size < 0) throw Failure{"cannot read " + PrintablePath(newFile)};
            const AnsiString path = JoinPath(workFolder, name);
            if (!platform::CreateFoldersFor(workFolder + "\\", name))
                throw Failure{"cannot write " + Printable(platform::ErrorText(path))};
            Task& task = tasks.emplace_back();
            task.patch = {file, {baseDigest, name}, path, 0, {}};
            task.base = base;
            task.newFile = newFile;
            task.largest = size * kPatchShareNumerator / kPatchShareDenominator;
        }
    }

    // The patches are independent of each other, and making one is mostly the processor's
    // work: every core takes its share.
    std::atomic<size_t> next = 0;
    auto work = [&] {
        for (size_t i; (i = next++) < tasks.size();) {
            Task& task = tasks[i];
            task.made = delta::MakePatch(task.base, task.newFile, task.patch.made, task.largest);
            if (task.made.outcome == delta::Made::Outcome::Made)
                task.digest = verification::FileDigest(task.patch.made);
        }
    };
    std::vector<std::thread> workers(
        std::min<size_t>(tasks.size(), std::max(1u, std::thread::hardware_concurrency())));
    for (std::thread& worker : workers) worker = std::thread(work);
    for (std::thread& worker : workers) worker.join();

    ReleasePatches made;
    std::vector<std::optional<size_t>> published(tasks.size());  // task -> its patch
    for (size_t i = 0; i < tasks.size(); ++i) {
        Task& task = tasks[i];
        if (task.made.outcome == delta::Made::Outcome::Failed)
            throw Failure{Printable(task.made.failure)};
        if (task.made.outcome != delta::Made::Outcome::Made) continue;
        if (!task.digest) throw Failure{"cannot read " + PrintablePath(task.patch.made)};
        task.patch.size = task.made.bytes;
        task.patch.digest = *task.digest;
        published[i] = made.patches.size();
        made.patches.push_back(task.patch);
    }
    for (size_t v = 0; v < versions.size(); ++v) {
        std::map<AnsiString, int64_t>& byFile = made.byVersion.emplace_back();
        for (const auto& [file, task] : uses[v]) {
            if (!published[task]) continue;
            const ReleasePatch& patch = made.patches[*published[task]];
            // Two bases whose digests begin alike would share the name; the second goes
            // without a patch rather than take the first one's.
            if (patch.line.baseDigest == digestOf(JoinPath(versions[v].folder, file)))
                byFile[file] = patch.size;
        }
    }
    return made;
}

}  // namespace publish
