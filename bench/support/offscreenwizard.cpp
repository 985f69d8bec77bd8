#include "bench/support/offscreenwizard.h"

#include <QCoreApplication>
#include <chrono>
#include <string>

#include "app/formparts.h"
#include "app/window/mainform.h"
#include "app/window/notebook.h"
#include "bench/support/die.h"
#include "platform/codepage.h"
#include "support/clicks.h"
#include "support/waituntil.h"
#include "ui/flat/flatmemo.h"
#include "ui/flat/flatspeedbutton.h"

namespace {

// No step of a healthy run over the slowest link worth measuring comes near this.
constexpr auto kStepLimit = std::chrono::seconds(120);

std::string Readable(const AnsiString& codePageText) {
    return platform::ToUnicode(codePageText).toStdString();
}

}  // namespace

OffscreenWizard::OffscreenWizard(const QString& serverUrl,
                                 const std::function<void(const QString& folder)>& prepare,
                                 const AnsiString& argument, const AnsiString& manifestKey) {
    if (!folder_.isValid()) Die("no temporary folder");
    if (prepare) prepare(folder_.path());
    sinceLaidOut_.emplace(Meter::Self);
    TWizardEnvironment environment;
    environment.FirstArgument = argument;
    environment.ApplicationFolder =
        platform::FromUnicode(QString(folder_.path()).replace('/', '\\')) + "\\";
    environment.ServerUrl = platform::FromUnicode(serverUrl);
    environment.ManifestKey = manifestKey;
    environment.Confirm = [this](const AnsiString& question) {
        boxes_.push_back(question);
        return false;
    };
    environment.ShowError = [this](const AnsiString& message) { boxes_.push_back(message); };
    form_ = std::make_unique<TMainform>(std::move(environment));
    form_->show();
    QCoreApplication::processEvents();
}

OffscreenWizard::~OffscreenWizard() {
    form_.reset();
    QCoreApplication::processEvents();
}

Cost OffscreenWizard::Click(WizardStep expectedStep, const char* expectedPage) {
    const Meter meter(Meter::Self);
    if (!testsupport::ClickAsAPerson(&MainButton(*form_))) Die("the main button is not usable");
    const bool last = expectedStep == WizardStep::Close;
    const bool settled = testsupport::WaitUntil(
        [&] {
            if (!boxes_.empty() || Pages(*form_).ActivePage() == "New") return true;
            return MainButton(*form_).isEnabled() && form_->NextStep() == expectedStep &&
                   Pages(*form_).ActivePage() == expectedPage && !(last && AnyDownloadBusy(*form_));
        },
        kStepLimit);
    const Cost cost = meter.Read();
    if (!settled || !boxes_.empty() || form_->NextStep() != expectedStep ||
        Pages(*form_).ActivePage() != expectedPage) {
        std::string state = "the wizard stopped on page " + Readable(Pages(*form_).ActivePage()) +
                            " before step " + StepName(form_->NextStep()) + ", not " + expectedPage;
        const TFlatMemo& message = Message(*form_);
        for (int i = 0; i < message.Lines.Count(); ++i)
            state += "\n  " + Readable(message.Lines[i]);
        for (const AnsiString& box : boxes_) state += "\n  box: " + Readable(box);
        Die(state);
    }
    return cost;
}

OffscreenWizard::UpgradeCost OffscreenWizard::ClickThroughUpgrade() {
    UpgradeCost cost{};
    const Meter meter(Meter::Self);
    cost.steps[0] = Click(WizardStep::List, "welcome");
    cost.steps[1] = Click(WizardStep::Download, "index");
    cost.steps[2] = Click(WizardStep::Install, "download");
    cost.steps[3] = Click(WizardStep::Close, "finish");
    cost.total = meter.Read();
    return cost;
}
