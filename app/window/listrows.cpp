#include "app/window/listrows.h"

#include <QTimer>
#include <QTreeWidget>
#include <QVariant>

#include "platform/codepage.h"

namespace {

// About a display frame: no one sees a row or a scroll come later than that.
constexpr int kFrameMilliseconds = 16;

// The rows that wait to join one view, a child of that view.
class PendingRows : public QObject {
public:
    explicit PendingRows(QTreeWidget* view) : QObject(view), view_(view) {
        setObjectName(kName);
        timer_.setSingleShot(true);
        timer_.setInterval(kFrameMilliseconds);
        connect(&timer_, &QTimer::timeout, this, &PendingRows::Complete);
    }
    ~PendingRows() override { qDeleteAll(rows_); }

    static PendingRows* Of(QTreeWidget* view) {
        // Found by name: a class without meta-object information cannot be told from the
        // view's other children by its type.
        auto* pending = view->findChild<QObject*>(kName, Qt::FindDirectChildrenOnly);
        return pending ? static_cast<PendingRows*>(pending) : new PendingRows(view);
    }

    void Add(QTreeWidgetItem* row) {
        rows_ << row;
        if (!timer_.isActive()) timer_.start();
    }
    void Complete() {
        timer_.stop();
        if (rows_.isEmpty()) return;
        view_->addTopLevelItems(rows_);
        rows_.clear();
    }

private:
    static constexpr const char* kName = "sendriftPendingRows";
    QTreeWidget* view_;
    QList<QTreeWidgetItem*> rows_;
    QTimer timer_;
};

}  // namespace

void AddRow(QTreeWidget* view, const AnsiString& caption, const QIcon& icon,
            const AnsiString& subItem) {
    auto* item = new QTreeWidgetItem({platform::ToUnicode(caption), platform::ToUnicode(subItem)});
    item->setIcon(0, icon);
    PendingRows::Of(view)->Add(item);
}

void CompleteRows(QTreeWidget* view) {
    PendingRows::Of(view)->Complete();
}

void CopyRows(QTreeWidget& from, QTreeWidget* to) {
    CompleteRows(&from);
    to->clear();
    QList<QTreeWidgetItem*> copies;
    for (int i = 0; i < from.topLevelItemCount(); ++i) copies << from.topLevelItem(i)->clone();
    to->addTopLevelItems(copies);
}

void SetSubItem(QTreeWidget* view, int row, const AnsiString& text) {
    if (QTreeWidgetItem* item = view->topLevelItem(row))
        item->setText(1, platform::ToUnicode(text));
}

void ScrollToRow(QTreeWidget* view, int row) {
    static constexpr const char* kPendingRow = "sendriftPendingScrollRow";
    const bool scheduled = view->property(kPendingRow).isValid();
    view->setProperty(kPendingRow, row);
    if (scheduled) return;
    QTimer::singleShot(kFrameMilliseconds, view, [view] {
        const int pending = view->property(kPendingRow).toInt();
        view->setProperty(kPendingRow, QVariant());
        CompleteRows(view);
        if (QTreeWidgetItem* item = view->topLevelItem(pending)) view->scrollToItem(item);
    });
}
