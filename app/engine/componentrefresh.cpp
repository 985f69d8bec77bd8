// Step 5, the component refresh of a resumed run: installed components whose waiting copy in
// Update\ is of a later day are replaced by it.
#include "app/engine/upgradeengine.h"
#include "core/displaytext.h"
#include "core/verification.h"
#include "platform/files.h"

void TUpgradeEngine::RefreshComponents() {
    // The journal's digests hold here too: a waiting copy that is not what the publisher made
    // is left for the install step, which refuses it with a message.
    const TJournal journal(applicationFolder_ + "Version.ini", InstalledVersion());
    using Kind = platform::CaseInsensitiveNames::Kind;
    const platform::CaseInsensitiveNames::Resolution updateFolder = names_->Resolve("Update");
    const size_t count = componentFiles_.size();
    for (size_t i = 0; i < count; ++i) {
        // Names are matched ignoring letter case; a name that two files match is left alone.
        const platform::CaseInsensitiveNames::Resolution installedName =
            names_->Resolve(componentFiles_[i]);
        const platform::CaseInsensitiveNames::Resolution waitingName =
            names_->Resolve(updateFolder.name + "\\" + componentFiles_[i]);
        if (installedName.kind != Kind::Existing || waitingName.kind != Kind::Existing) continue;
        const AnsiString installed = applicationFolder_ + installedName.name;
        const AnsiString waiting = applicationFolder_ + waitingName.name;
        // Only the updater's own downloads count: nothing is taken through a link, neither as
        // the folder of downloads nor on the way to the copy.
        if (!platform::FileExists(installed) || !platform::FileExists(waiting) ||
            platform::IsSymbolicLink(applicationFolder_ + updateFolder.name) ||
            !platform::IsInsideFolder(waiting, applicationFolder_ + updateFolder.name))
            continue;
        // The texts are "yyyy-mm-dd", so they compare as text in date order.
        if (FileDateText(installed) < FileDateText(waiting) &&
            verification::CheckFile(journal.Digests(componentFiles_[i]), waiting) !=
                verification::FileCheck::Fails)
            platform::CopyFile(waiting, installed);
    }
}
