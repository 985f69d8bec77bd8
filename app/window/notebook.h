// TNotebook: a page container whose pages are selected by name.
#pragma once

#include <QStackedWidget>

#include "platform/text.h"

class TNotebook : public QStackedWidget {
    Q_OBJECT
public:
    explicit TNotebook(QWidget* parent = nullptr) : QStackedWidget(parent) {}

    // Adds an empty page named `name` (code-page text) and returns it for its controls.
    QWidget* AddPage(const AnsiString& name);

    // The name lookup ignores letter case; a name that matches no page changes nothing.
    void SetActivePage(const AnsiString& name);
    AnsiString ActivePage() const;
};
