// ClickAsAPerson: clicks a widget only when a person could, for tests of what people do.
//
//   ASSERT_TRUE(testsupport::ClickAsAPerson(form.Bitbtn1));  // fails when Bitbtn1 is disabled
//
// A button's Click() from code runs its handler whether or not anyone could reach it; a test
// that clicks that way misses a button left disabled, hidden on another page, or covered.
#pragma once

#include <QPoint>
#include <QTest>
#include <QWidget>

namespace testsupport {

// Sends a real left-button press and release to the centre of `widget` and returns true;
// returns false without clicking when a person could not click it there: the widget or one of
// its parents is disabled or hidden, or another widget covers its centre.
inline bool ClickAsAPerson(QWidget* widget) {
    if (!widget->isEnabled() || !widget->isVisible()) return false;
    const QPoint centre = widget->rect().center();
    QWidget* window = widget->window();
    QWidget* hit = window->childAt(widget->mapTo(window, centre));
    if (widget != window && hit != widget && !widget->isAncestorOf(hit)) return false;
    QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, centre);
    return true;
}

}  // namespace testsupport
