#include "app/listrows.h"

#include <QTreeWidget>

#include "platform/codepage.h"

void AddRow(QTreeWidget* view, const AnsiString& caption, const QIcon& icon,
            const AnsiString& subItem) {
    auto* item =
        new QTreeWidgetItem(view, {platform::ToUnicode(caption), platform::ToUnicode(subItem)});
    item->setIcon(0, icon);
}

void CopyRows(const QTreeWidget& from, QTreeWidget* to) {
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
    if (QTreeWidgetItem* item = view->topLevelItem(row)) view->scrollToItem(item);
}
