#include "toplevelwindows.h"

#include <QApplication>
#include <QWidget>

QWidget *TopLevelWindows::visible(const QString &name)
{
    QWidget *found = nullptr;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->objectName() == name) {
            if (found)
                return nullptr;
            found = widget;
        }
    }
    return found;
}

QStringList TopLevelWindows::visibleNames()
{
    QStringList names;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible())
            names << widget->objectName();
    }
    return names;
}
