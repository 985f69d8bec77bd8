// The installed component list: the product's components, by display name and file.
#include "app/engine/upgradeengine.h"
#include "app/texts.h"
#include "platform/files.h"

namespace {

// Appends every key name of every section of `store` to `keyNames`, and every value, in the
// same order, to `files`.
void CollectComponents(const TIniFile& store, std::vector<AnsiString>& keyNames,
                       std::vector<AnsiString>& files) {
    std::vector<AnsiString> sections;
    std::vector<AnsiString> keys;
    store.SectionNames(sections);
    for (const AnsiString& section : sections) {
        store.KeyNames(section, keys);
        keyNames.insert(keyNames.end(), keys.begin(), keys.end());
        for (const AnsiString& key : keys) files.push_back(store.ReadEntry(section, key));
    }
}

}  // namespace

void TUpgradeEngine::CheckComp() {
    // The remote-control tool is looked for by bare name, in the working directory.
    const bool remoteControlFound = platform::FileExists(Texts::RemoteControlProgram);
    componentFiles_.clear();
    std::vector<AnsiString> keyNames;
    const AnsiString defaultList = applicationFolder_ + "Default.ini";
    const AnsiString customList = applicationFolder_ + "Custom.ini";
    if (platform::FileExists(defaultList) || platform::FileExists(customList)) {
        CollectComponents(TIniFile(defaultList), keyNames, componentFiles_);
        CollectComponents(TIniFile(customList), keyNames, componentFiles_);
    }
    face_.ComponentsFound(keyNames, remoteControlFound);
}
