// The wizard built in-process, as start-up builds it, with an injected application folder and
// server, and its message boxes answered by the test.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "support/appfolder.h"
#include "app/formparts.h"
#include "app/window/mainform.h"
#include "ui/flat/flatmemo.h"

class WizardHarness {
public:
    // Builds and shows the form with `argument` as the first command-line argument.
    TMainform& Open(const AnsiString& argument = {},
                    const AnsiString& serverUrl = "http://127.0.0.1:1") {
        TWizardEnvironment environment;
        environment.ApplicationFolder = folder_.Folder();
        environment.ServerUrl = serverUrl;
        environment.FirstArgument = argument;
        environment.ManifestKey = manifestKey_;
        environment.Confirm = [this](const AnsiString& question) {
            questions_.push_back(question);
            if (whileAsking_) whileAsking_();
            return answer_;
        };
        environment.ShowError = [this](const AnsiString& message) { errors_.push_back(message); };
        form_ = std::make_unique<TMainform>(std::move(environment));
        form_->show();
        return *form_;
    }

    static std::vector<AnsiString> MemoLines(const TFlatMemo& memo) {
        std::vector<AnsiString> lines;
        for (int i = 0; i < memo.Lines.Count(); ++i) lines.push_back(memo.Lines[i]);
        return lines;
    }

    TempAppFolder folder_;
    std::unique_ptr<TMainform> form_;
    bool answer_ = false;
    std::function<void()> whileAsking_;  // runs while a question is open, before its answer
    AnsiString manifestKey_;  // the built-in manifest key of the next Open
    std::vector<AnsiString> questions_;
    std::vector<AnsiString> errors_;
};
