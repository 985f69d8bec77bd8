// The states in which a step of the wizard stops, as a person sees them (see State in
// upgraderun.h), for tests that drive a step into its failure.
#pragma once

#include "app/texts.h"
#include "app/upgraderun.h"
#include "app/window/notebook.h"

// Functions, not constants: the texts are made when the program starts, in another unit.

// The manifest arrived: the next click lists its files.
inline std::string UpdateFound() {
    return State("welcome", WizardStep::List, Texts::NextButton, true, Texts::CancelButton, true);
}
// The state's first line: the page and the buttons, without the message page's lines.
inline std::string FirstLine(const std::string& state) {
    return state.substr(0, state.find('\n'));
}
// A failed version request; a failed size query looks the same.
inline std::string VersionFailed() {
    return State("New", WizardStep::VersionCheck, Texts::RetryButton, true, Texts::CloseButton,
                 true, {Texts::VersionUnavailableMessage});
}
inline std::string ManifestFailed() {
    return State("New", WizardStep::VersionCheck, Texts::RetryButton, true, Texts::CloseButton,
                 true, {Texts::ManifestUnavailableMessage});
}
inline std::string DownloadFailed() {
    return State("New", WizardStep::VersionCheck, Texts::StoppedButton, false, Texts::CloseButton,
                 true, {Texts::DownloadFailedMessage});
}
inline std::string FileMissing(const AnsiString& name) {
    return State("New", WizardStep::VersionCheck, Texts::RetryButton, true, Texts::CloseButton,
                 true, {Texts::UpdateFile + name + Texts::FileMissingTail});
}
inline std::string NameRefused(const AnsiString& name) {
    return State("New", WizardStep::VersionCheck, Texts::RestartButton, true, Texts::CloseButton,
                 true, {Texts::RefusedName + name + Texts::RefusedNameTail});
}

// True once a resumed run (started with "on") has stopped or reached the finish.
inline bool ResumedRunEnded(const UpgradeRun& run) {
    return Message(*run.form_).Lines.Count() > 0 || Pages(*run.form_).ActivePage() == "finish";
}
