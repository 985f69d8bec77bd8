// TMainform: the updater's only window, a wizard of named pages driven by three buttons.
//
// The main button's Tag holds the wizard step that its next click runs; Update(step) runs a
// step on the GUI thread. Steps that wait keep dispatching events, so clicks and close
// requests are handled inside the running step, which learns of a cancel only through the
// cancel flag. Everything here runs on the GUI thread.
#pragma once

#include <QIcon>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "app/inifile.h"
#include "platform/text.h"

class QLabel;
class QFrame;
class THTTPGet;
class TNMHTTP;
class QTreeWidget;
class TNotebook;
class TFlatSpeedButton;
class TFlatProgressBar;
class TFlatPanel;
class TFlatMemo;

// What the wizard takes from outside, so that it runs in-process in tests.
struct TWizardEnvironment {
    AnsiString ApplicationFolder;  // code-page text ending in a backslash
    AnsiString ServerUrl;          // built-in update server base URL, no trailing slash
    AnsiString FirstArgument;      // the command line's first argument, empty when absent
    // Asks a yes/no question; true for Yes. Defaults to the confirmation box.
    std::function<bool(const AnsiString& question)> Confirm;
    // Shows an error that a step did not handle. Defaults to the framework's error box.
    std::function<void(const AnsiString& message)> ShowError;
};

class TMainform : public QWidget {
    Q_OBJECT
public:
    // Builds the window and runs FormCreate.
    explicit TMainform(TWizardEnvironment environment, QWidget* parent = nullptr);
    ~TMainform() override;

    // Runs one wizard step: 0 version check, 1 update list, 2 download, 3 install and
    // finish, 4 close, 5 component refresh. Every step first disables the main button.
    void Update(int step);

    void Bitbtn1Click(QObject* Sender);
    void Button1Click(QObject* Sender);
    void Bitbtn2Click(QObject* Sender);

    void FormCreate();
    void FormShow();
    void FormActivate();
    // True when the window may close; may ask the user and cancel the running step.
    bool FormCloseQuery();

    // Shows the message page "New" with `lines` as the whole content of MEMO2.
    void ShowMessagePage(std::initializer_list<AnsiString> lines);

    // True once the program has been asked to end (the quit request is posted).
    bool ProgramEnded() const { return programEnded_; }

    // The components of the window, by their given names.
    TFlatPanel* FlatPanel1;
    QLabel* Image1;
    TNotebook* Notebook1;
    QFrame* Panel1;
    TFlatSpeedButton* Button1;
    TFlatSpeedButton* Bitbtn1;
    TFlatSpeedButton* Bitbtn2;
    std::vector<QIcon> ImageList1;
    THTTPGet* HTTPGet1;  // the latest version text, into a string
    THTTPGet* HTTPGet2;  // each update file
    THTTPGet* HTTPGet3;  // the manifest, into a file
    TNMHTTP* NMHTTP1;    // size queries

    // Page "welcome".
    QLabel *Label5, *Label6, *Label7, *Label8, *Label1;
    TFlatPanel* FlatPanel2;
    QTreeWidget* ListView1;
    // Page "index".
    QLabel *Label3, *Label19, *Label2;
    TFlatPanel* FlatPanel3;
    QTreeWidget* ListView2;
    TFlatProgressBar* FlatProgressBar1;
    // Page "download".
    QLabel *Label9, *Label17, *Label18, *Label21;
    TFlatPanel* FlatPanel4;
    QTreeWidget* ListView3;
    TFlatProgressBar *FlatProgressBar2, *FlatProgressBar4;
    // Page "install".
    QLabel *Label11, *Label12, *Label20;
    TFlatPanel* FlatPanel5;
    QTreeWidget* ListView4;
    TFlatProgressBar* FlatProgressBar3;
    // Page "finish".
    QLabel *Label13, *Label14;
    TFlatPanel* FlatPanel6;
    QTreeWidget* ListView5;
    TFlatMemo* Memo1;
    // Page "New", the message page.
    QLabel* Label16;
    TFlatMemo* MEMO2;

    // Wizard state shared by the steps.
    bool CancelFlag = false;
    bool FileDoneFlag = false;
    std::unique_ptr<TIniFile> SetupIni;
    AnsiString SystemFlag;
    AnsiString ApplicationFolder;
    std::vector<AnsiString> ComponentFiles;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;

private:
    void BuildWindow();
    void BuildPages();
    void BuildNetworkComponents();
    void CheckComp();

    // Runs a handler the way the windowing framework runs an event: an error it raises is
    // shown in the default error box and ends the handler, never the program.
    void RunHandler(const std::function<void()>& handler);

    void EndProgram();

    TWizardEnvironment environment_;
    bool programEnded_ = false;
    bool shown_ = false;
};
