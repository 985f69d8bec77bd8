// The wizard's parts, found by the object names that say what they show, as a person finds
// them on the window.
#pragma once

#include <QLabel>
#include <QTreeWidget>
#include <stdexcept>
#include <string>

#include "app/window/mainform.h"
#include "app/window/notebook.h"
#include "net/httpget/httpget.h"
#include "net/sock/nmhttp.h"
#include "ui/flat/flatmemo.h"
#include "ui/flat/flatspeedbutton.h"

template <typename T>
T& Part(const TMainform& form, const char* name) {
    T* part = form.findChild<T*>(QString::fromLatin1(name));
    if (!part) throw std::logic_error(std::string("the wizard has no part named ") + name);
    return *part;
}

inline TFlatSpeedButton& MainButton(const TMainform& form) {
    return Part<TFlatSpeedButton>(form, "mainButton");
}
inline TFlatSpeedButton& CloseButton(const TMainform& form) {
    return Part<TFlatSpeedButton>(form, "closeButton");
}
inline TFlatSpeedButton& ContinueButton(const TMainform& form) {
    return Part<TFlatSpeedButton>(form, "continueButton");
}
inline TNotebook& Pages(const TMainform& form) {
    return Part<TNotebook>(form, "pages");
}
inline TFlatMemo& Message(const TMainform& form) {
    return Part<TFlatMemo>(form, "New.message");
}
inline THTTPGet& FileDownload(const TMainform& form) {
    return Part<THTTPGet>(form, "fileDownload");
}
// The socket client has no meta-object information, so only its name tells it apart.
inline TNMHTTP& SizeQuery(const TMainform& form) {
    return static_cast<TNMHTTP&>(Part<QObject>(form, "sizeQuery"));
}
// True while any download component of the form transfers.
inline bool AnyDownloadBusy(const TMainform& form) {
    for (const THTTPGet* download : form.findChildren<THTTPGet*>())
        if (download->Busy()) return true;
    return false;
}

// The engine in a state that a step leaves, without the server that would lead there.
class TUpgradeEngineProbe {
public:
    static void SetNextStep(TUpgradeEngine& engine, WizardStep next, bool running) {
        engine.nextStep_ = next;
        engine.stepRunning_ = running;
    }
    static void SetCancelRequested(TUpgradeEngine& engine) { engine.cancelRequested_ = true; }
};

// The form in a state that a step leaves, without the server that would lead there.
class TMainformProbe {
public:
    // The main button runs `next`; `running` as while a step runs (main button disabled).
    static void SetNextStep(TMainform& form, WizardStep next, bool running = false) {
        TUpgradeEngineProbe::SetNextStep(*form.engine_, next, running);
        MainButton(form).setEnabled(!running);
    }
    static void SetCancelRequested(TMainform& form) {
        TUpgradeEngineProbe::SetCancelRequested(*form.engine_);
    }
};
