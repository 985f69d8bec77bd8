// The wizard's pages: each owns the widgets it shows, named for what they show. A widget's
// object name is "<page>.<member>" (the page's own name "welcome", "index", ... and the member
// below), so that tools and tests find it as a person would, by what it is.
#pragma once

#include <QIcon>
#include <vector>

#include "platform/text.h"

class QLabel;
class QTreeWidget;
class TFlatMemo;
class TFlatProgressBar;
class TNotebook;

// What the wizard shows at start, and the version check's progress.
struct WelcomePage {
    QTreeWidget* components;  // the product, its tools and the installed components
    QLabel* hint;             // what the main button does, then the latest version
    QLabel* status;           // the version check's outcome

    void Build(TNotebook* pages);
};

// The update list, with the size of each file.
struct ListPage {
    QTreeWidget* files;
    QLabel* count;  // files (and components) listed so far and their total size
    TFlatProgressBar* progress;
    QLabel* hint;

    void Build(TNotebook* pages);
};

// The download, with the current file's progress and the total's.
struct DownloadPage {
    QTreeWidget* files;
    QLabel* fileLabel;
    TFlatProgressBar* fileProgress;
    QLabel* totalLabel;
    TFlatProgressBar* totalProgress;
    QLabel* hint;

    void Build(TNotebook* pages);
};

// The install, counting the installed files.
struct InstallPage {
    QTreeWidget* files;
    QLabel* count;
    TFlatProgressBar* progress;

    void Build(TNotebook* pages);
};

// The finish: every installed update and the outcome.
struct FinishPage {
    QTreeWidget* files;
    TFlatMemo* summary;

    void Build(TNotebook* pages);
};

// The page "New" that tells why the wizard stopped, or asks how to go on.
struct MessagePage {
    TFlatMemo* message;

    void Build(TNotebook* pages);
    // Shows this page with `lines` as the whole message.
    void Show(TNotebook* pages, std::initializer_list<AnsiString> lines);
};

// The icons of a list row: a file waiting, and a file installed.
struct RowIcons {
    QIcon waiting;
    QIcon installed;
};
