// The installed component list on the welcome page and the component file list.
#include <QTreeWidget>

#include "app/texts.h"
#include "app/window/mainform.h"
#include "platform/codepage.h"
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

void TMainform::CheckComp() {
    auto addEntry = [this](const AnsiString& caption) {
        auto* item = new QTreeWidgetItem(welcome_.components, {platform::ToUnicode(caption)});
        item->setIcon(0, icons_.waiting);
    };
    addEntry(Texts::ProductName);
    for (const AnsiString& tool : Texts::ToolCaptions) addEntry(tool);
    // The remote-control tool is looked for by bare name, in the working directory.
    if (platform::FileExists(Texts::RemoteControlProgram)) addEntry(Texts::RemoteControlCaption);

    componentFiles_.clear();
    const AnsiString defaultList = applicationFolder_ + "Default.ini";
    const AnsiString customList = applicationFolder_ + "Custom.ini";
    if (!platform::FileExists(defaultList) && !platform::FileExists(customList)) return;

    std::vector<AnsiString> keyNames;
    CollectComponents(TIniFile(defaultList), keyNames, componentFiles_);
    CollectComponents(TIniFile(customList), keyNames, componentFiles_);
    for (const AnsiString& key : keyNames) addEntry(key + Texts::ComponentSuffix);
}
