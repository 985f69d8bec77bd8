// Rows of the wizard's report-style list views: a caption with an item icon and one
// sub-item, addressed by their position.
//
// A view lays out all its rows after each insertion and before each change it shows, so a
// step that adds or scrolls after every one of thousands of rows would take time that grows
// with the square of their number. Rows and scrolls therefore reach a view at most once a
// display frame, which no one sees; CompleteRows adds the waiting rows at once.
#pragma once

#include <QIcon>

#include "platform/text.h"

class QTreeWidget;

void AddRow(QTreeWidget* view, const AnsiString& caption, const QIcon& icon,
            const AnsiString& subItem);
void CompleteRows(QTreeWidget* view);
// Replaces the rows of `to` with copies of the rows of `from`, its waiting rows included.
void CopyRows(QTreeWidget& from, QTreeWidget* to);
void SetSubItem(QTreeWidget* view, int row, const AnsiString& text);
// Brings the row into view within a frame; of several calls in one frame, the last counts.
void ScrollToRow(QTreeWidget* view, int row);
