// Step 5, the component refresh of a resumed run: installed components whose waiting copy in
// Update\ is of a later day are replaced by it.
#include "app/displaytext.h"
#include "app/mainform.h"
#include "platform/files.h"

void TMainform::RefreshComponents() {
    const size_t count = ComponentFiles.size();
    for (size_t i = 0; i < count; ++i) {
        const AnsiString installed = ApplicationFolder + ComponentFiles[i];
        const AnsiString waiting = ApplicationFolder + "Update\\" + ComponentFiles[i];
        if (!platform::FileExists(installed) || !platform::FileExists(waiting)) continue;
        // The texts are "yyyy-mm-dd", so they compare as text in date order.
        if (FileDateText(installed) < FileDateText(waiting)) platform::CopyFile(waiting, installed);
    }
}
