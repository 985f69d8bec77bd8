#include "app/window/notebook.h"

#include "platform/codepage.h"

QWidget* TNotebook::AddPage(const AnsiString& name) {
    auto* page = new QWidget(this);
    page->setObjectName(platform::ToUnicode(name));
    addWidget(page);
    return page;
}

void TNotebook::SetActivePage(const AnsiString& name) {
    const QString wanted = platform::ToUnicode(name);
    for (int i = 0; i < count(); ++i) {
        if (widget(i)->objectName().compare(wanted, Qt::CaseInsensitive) == 0) {
            setCurrentIndex(i);
            return;
        }
    }
}

AnsiString TNotebook::ActivePage() const {
    return currentWidget() ? platform::FromUnicode(currentWidget()->objectName()) : AnsiString();
}
