// TFlatMemo: a read-only multi-line text box with a flat border.
#pragma once

#include <QPlainTextEdit>

#include "platform/text.h"

class TFlatMemo;

// The memo's lines, addressed as code-page text.
class TMemoLines {
public:
    explicit TMemoLines(TFlatMemo& memo) : memo_(memo) {}
    void Clear();
    void Add(const AnsiString& line);
    int Count() const;
    AnsiString operator[](int index) const;

private:
    TFlatMemo& memo_;
};

class TFlatMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TFlatMemo(QWidget* parent = nullptr);

    TMemoLines Lines{*this};
};
