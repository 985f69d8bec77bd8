// Rows of the wizard's report-style list views: a caption with an item icon and one
// sub-item, addressed by their position.
#pragma once

#include <QIcon>

#include "platform/text.h"

class QTreeWidget;

void AddRow(QTreeWidget* view, const AnsiString& caption, const QIcon& icon,
            const AnsiString& subItem);
// Replaces the rows of `to` with copies of the rows of `from`.
void CopyRows(const QTreeWidget& from, QTreeWidget* to);
void SetSubItem(QTreeWidget* view, int row, const AnsiString& text);
void ScrollToRow(QTreeWidget* view, int row);
