// The wizard in the benchmark's own process, on a fresh application folder, its main button
// clicked from code as a person would click it. Needs a QApplication (offscreen will do) and
// runs on its thread.
#pragma once

#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/engine/upgradeface.h"
#include "bench/support/meter.h"
#include "platform/text.h"

class TMainform;

class OffscreenWizard {
public:
    // `prepare` lays out the application folder (a path with "/") before the window is made;
    // without it the folder is empty. The window asks the server at `serverUrl` unless the
    // folder's setup.ini names another; `argument` is its first command-line argument, and
    // with `manifestKey` it is the wizard of a build with that key. Nobody answers its boxes:
    // a question or an error box ends the benchmark at the next Click.
    explicit OffscreenWizard(const QString& serverUrl,
                             const std::function<void(const QString& folder)>& prepare = {},
                             const AnsiString& argument = {}, const AnsiString& manifestKey = {});
    ~OffscreenWizard();
    OffscreenWizard(const OffscreenWizard&) = delete;
    OffscreenWizard& operator=(const OffscreenWizard&) = delete;

    // Clicks the main button and waits until the wizard shows `expectedPage` and waits for the
    // click that runs `expectedStep` (on the finish page, also until nothing transfers any
    // more); the wall and processor time of this process meanwhile. Work that the wizard goes
    // on with while it waits for a click is not waited for: a person may click at once. Any
    // other state, a message page, a box or two minutes without settling throws BenchFailure
    // with what the window shows.
    Cost Click(WizardStep expectedStep, const char* expectedPage);

    // What a whole upgrade cost: from the click that starts the version check to the finish
    // page, and each of its clicks (version check, list, download, install).
    struct UpgradeCost {
        Cost total;
        Cost steps[4];
    };
    // Clicks the wizard from the welcome page through a whole upgrade to the finish page.
    UpgradeCost ClickThroughUpgrade();

    // A path inside the application folder, "/" between names.
    QString Path(const QString& name) const { return folder_.filePath(name); }
    TMainform& Form() { return *form_; }
    // The cost since the application folder was laid out, before the window was made.
    Cost SinceLaidOut() const { return sinceLaidOut_->Read(); }

private:
    QTemporaryDir folder_;
    std::vector<AnsiString> boxes_;
    std::optional<Meter> sinceLaidOut_;
    std::unique_ptr<TMainform> form_;
};
