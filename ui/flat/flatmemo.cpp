#include "ui/flat/flatmemo.h"

#include <QTextBlock>

#include "platform/codepage.h"

TFlatMemo::TFlatMemo(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setFocusPolicy(Qt::NoFocus);
}

void TMemoLines::Clear() {
    memo_.clear();
}

void TMemoLines::Add(const AnsiString& line) {
    memo_.appendPlainText(platform::ToUnicode(line));
}

int TMemoLines::Count() const {
    return memo_.document()->isEmpty() ? 0 : memo_.document()->blockCount();
}

AnsiString TMemoLines::operator[](int index) const {
    return platform::FromUnicode(memo_.document()->findBlockByNumber(index).text());
}
