#include "app/window/pages.h"

#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>

#include "app/texts.h"
#include "app/window/notebook.h"
#include "platform/codepage.h"
#include "ui/flat/flatmemo.h"
#include "ui/flat/flatpanel.h"
#include "ui/flat/flatprogressbar.h"
#include "ui/flat/hslutils.h"

using platform::ToUnicode;

namespace {

// Builds one page's widgets, naming each after its page.
class PageBuilder {
public:
    PageBuilder(TNotebook* pages, const AnsiString& name)
        : page_(pages->AddPage(name)), name_(ToUnicode(name)) {
        page_->resize(pages->size());
    }

    QLabel* Label(int left, int top, const AnsiString& text = {}, const char* name = nullptr) {
        auto* label = new QLabel(ToUnicode(text), page_);
        // A fixed geometry that reaches the page's right edge, and plain text: a label whose
        // text changes on every download chunk must neither relayout the page nor be parsed
        // as markup.
        label->setTextFormat(Qt::PlainText);
        label->setGeometry(left, top, page_->width() - left, 14);
        Name(label, name);
        return label;
    }

    struct Column {
        const AnsiString& caption;
        int width;  // 0 hides the column
    };

    // A report-style list view inside a flat panel: no border, button-face colour, item icons.
    QTreeWidget* ListView(const char* name, QRect place, std::initializer_list<Column> columns,
                          bool showHeader = true) {
        auto* panel = new TFlatPanel(page_);
        panel->setGeometry(place);
        panel->SetColorHighLight(clInactiveCaption);
        panel->SetColorShadow(clInactiveCaption);
        auto* view = new QTreeWidget(panel);
        Name(view, name);
        view->setGeometry(1, 1, place.width() - 2, place.height() - 2);
        view->setFrameShape(QFrame::NoFrame);
        view->setRootIsDecorated(false);
        // Rows of one height spare the view from measuring every row when one text changes.
        view->setUniformRowHeights(true);
        view->setIconSize(QSize(16, 16));
        view->setFocusPolicy(Qt::NoFocus);
        QPalette palette = view->palette();
        palette.setColor(QPalette::Base, palette.color(QPalette::Button));
        view->setPalette(palette);
        view->setColumnCount(int(columns.size()));
        QStringList captions;
        int index = 0;
        for (const Column& column : columns) {
            captions << ToUnicode(column.caption);
            view->setColumnWidth(index, column.width);
            view->setColumnHidden(index, column.width == 0);
            ++index;
        }
        view->setHeaderLabels(captions);
        view->header()->setSectionsClickable(false);
        view->header()->setStretchLastSection(false);
        view->setHeaderHidden(!showHeader);
        return view;
    }

    TFlatProgressBar* ProgressBar(int left, int top, const char* name) {
        auto* bar = new TFlatProgressBar(page_);
        bar->setGeometry(left, top, 363, 25);
        Name(bar, name);
        return bar;
    }

    // A read-only memo that stays the colour of the page, hovered or not.
    TFlatMemo* Memo(QRect place, const char* name) {
        auto* memo = new TFlatMemo(page_);
        memo->setGeometry(place);
        memo->SetColorFocused(clBtnFace);
        memo->SetColorFlat(clBtnFace);
        memo->SetColorBorder(clInactiveCaption);
        Name(memo, name);
        return memo;
    }

private:
    void Name(QWidget* widget, const char* name) {
        if (name) widget->setObjectName(name_ + '.' + QLatin1String(name));
    }

    QWidget* page_;
    QString name_;
};

}  // namespace

void WelcomePage::Build(TNotebook* pages) {
    PageBuilder page(pages, "welcome");
    page.Label(8, 11, Texts::Welcome);
    page.Label(8, 35, Texts::InstalledComponents);
    components = page.ListView("components", {8, 56, 361, 121}, {{Texts::ProductName, 300}},
                               /*showHeader=*/false);
    hint = page.Label(8, 203, Texts::StartHint, "hint");
    status = page.Label(8, 224, {}, "status");
}

void ListPage::Build(TNotebook* pages) {
    PageBuilder page(pages, "index");
    page.Label(8, 11, Texts::FindingUpdates);
    files = page.ListView("files", {8, 32, 361, 145},
                          {{Texts::ColumnFile, 250}, {Texts::ColumnSize, 109}});
    count = page.Label(10, 187, {}, "count");
    progress = page.ProgressBar(8, 212, "progress");
    hint = page.Label(11, 246, {}, "hint");
}

void DownloadPage::Build(TNotebook* pages) {
    PageBuilder page(pages, "download");
    page.Label(8, 11, Texts::DownloadingUpdates);
    files = page.ListView("files", {8, 32, 361, 129},
                          {{Texts::ColumnFile, 240}, {Texts::ColumnState, 109}});
    fileLabel = page.Label(11, 165, {}, "fileLabel");
    fileProgress = page.ProgressBar(9, 179, "fileProgress");
    totalLabel = page.Label(11, 207, {}, "totalLabel");
    totalProgress = page.ProgressBar(9, 222, "totalProgress");
    hint = page.Label(9, 250, {}, "hint");
}

void InstallPage::Build(TNotebook* pages) {
    PageBuilder page(pages, "install");
    page.Label(8, 11, Texts::InstallingUpdates);
    files = page.ListView("files", {8, 32, 361, 137},
                          {{Texts::ColumnFile, 240}, {Texts::ColumnState, 109}});
    page.Label(8, 187, Texts::InstallCountLabel);
    count = page.Label(112, 187, {}, "count");
    progress = page.ProgressBar(8, 210, "progress");
}

void FinishPage::Build(TNotebook* pages) {
    PageBuilder page(pages, "finish");
    page.Label(8, 8, Texts::Welcome);
    page.Label(8, 26, Texts::UpToDateProducts);
    files = page.ListView("files", {8, 44, 361, 149},
                          {{Texts::ColumnFile, 350}, {Texts::ColumnSize, 0}});
    summary = page.Memo({8, 200, 361, 49}, "summary");
}

void MessagePage::Build(TNotebook* pages) {
    PageBuilder page(pages, "New");
    page.Label(16, 19, Texts::Welcome);
    message = page.Memo({16, 48, 345, 145}, "message");
}

void MessagePage::Show(TNotebook* pages, std::initializer_list<AnsiString> lines) {
    pages->SetActivePage("New");
    message->Lines.Clear();
    for (const AnsiString& line : lines) message->Lines.Add(line);
}
