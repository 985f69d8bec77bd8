// The upgrade road as a person drives it: an application folder, a scripted server that
// publishes version 2.0, and the wizard clicked through its steps.
#pragma once

#include <QDir>
#include <QLabel>
#include <QTreeWidget>
#include <sstream>

#include "app/window/notebook.h"
#include "app/wizardharness.h"
#include "core/freshness.h"
#include "core/verification.h"
#include "net/httpget/httpget.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "support/clicks.h"
#include "support/samplerelease.h"
#include "support/scriptedhttpserver.h"
#include "support/waituntil.h"
#include "ui/flat/flatspeedbutton.h"

// What a person sees of the wizard's state, as one text that compares and prints as a whole.
inline std::string State(const AnsiString& page, WizardStep next, const AnsiString& main,
                         bool mainEnabled, const AnsiString& close, bool closeEnabled,
                         const std::vector<AnsiString>& memo = {}) {
    std::ostringstream text;
    text << "page " << page << ", next " << StepName(next) << ", main \"" << main << "\" "
         << (mainEnabled ? "enabled" : "disabled") << ", close \"" << close << "\" "
         << (closeEnabled ? "enabled" : "disabled");
    for (const AnsiString& line : memo) text << "\n  " << line;
    return platform::ToUnicode(text.str()).toStdString();
}

// The sample upgrade (support/samplerelease.h), driven through the wizard.
class UpgradeRun : public WizardHarness {
public:
    UpgradeRun() {
        PublishSampleRelease(server_);
        InstallSampleVersion(folder_);
    }

    void Publish(const std::string& version, const std::string& manifest) {
        PublishFile("Version.txt", version);
        PublishFile("Version.ini", manifest);
    }
    void PublishFile(const std::string& urlPath, const std::string& body) {
        PublishUpdateFile(server_, urlPath, body);
    }
    // Publishes, signed with `secretKey`, the freshness statement that vouches for Version.txt
    // `version` leading to `manifest`.
    void PublishStatement(const std::string& secretKey, const std::string& version,
                          const std::string& manifest, uint64_t serial = 1,
                          std::chrono::seconds expiresIn = std::chrono::hours(24 * 7),
                          uint64_t rotations = 0) {
        freshness::Statement statement;
        statement.versionDigest = verification::Digest(version);
        statement.manifestDigest = verification::Digest(manifest);
        statement.serial = serial;
        statement.expires = utctime::Now() + expiresIn;
        statement.rotations = rotations;
        server_.Serve(std::string("/Update/") + freshness::kFileName,
                      testsupport::ScriptedResponse::Ok(*freshness::Make(statement, secretKey)));
    }

    TMainform& OpenWizard(const AnsiString& argument = {}) { return Open(argument, server_.Url()); }
    // Takes the version, the manifest and the files from server_, and sends the size queries
    // (which go to the built-in address) to `sizeServer`.
    TMainform& OpenWithSizesFrom(const std::string& sizeServer) {
        folder_.Write("setup.ini", "[CONNECT]\r\nURL=" + server_.Url() + "\r\n");
        return Open({}, sizeServer);
    }

    // Clicks the main button as a person would and waits until no transfer runs any more.
    void ClickMain() {
        ASSERT_TRUE(testsupport::ClickAsAPerson(&MainButton(*form_)))
            << "the main button is usable";
        Settle();
    }
    void Settle() {
        ASSERT_TRUE(testsupport::WaitUntil([&] { return !AnyDownloadBusy(*form_); }))
            << "the wizard settled within 10 s";
    }

    std::string StateNow() const {
        return State(Pages(*form_).ActivePage(), form_->NextStep(), MainButton(*form_).Caption(),
                     MainButton(*form_).isEnabled(), CloseButton(*form_).Caption(),
                     CloseButton(*form_).isEnabled(), MemoLines(Message(*form_)));
    }
    std::vector<std::string> RequestLines() const {
        std::vector<std::string> lines;
        for (const auto& request : server_.Requests()) lines.push_back(request.requestLine);
        return lines;
    }
    static AnsiString Text(const QLabel* label) { return platform::FromUnicode(label->text()); }
    static std::vector<AnsiString> Rows(const QTreeWidget* view) {
        std::vector<AnsiString> rows;
        for (int i = 0; i < view->topLevelItemCount(); ++i)
            rows.push_back(platform::FromUnicode(view->topLevelItem(i)->text(0) + "|" +
                                                 view->topLevelItem(i)->text(1)));
        return rows;
    }
    // The journal keys of the entries that the last step listed, in its order.
    std::vector<AnsiString> ListedKeys() const {
        std::vector<AnsiString> keys;
        for (const TJournal::Entry& entry : form_->ListedEntries()) keys.push_back(entry.key);
        return keys;
    }
    bool Exists(const char* name) const { return platform::FileExists(folder_.Path(name)); }

    testsupport::ScriptedHttpServer server_;
};
