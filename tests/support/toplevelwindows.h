#pragma once

#include <QString>
#include <QStringList>

class QWidget;

/// What a user sees on the screen: the application's visible top-level windows.
class TopLevelWindows
{
public:
    /// The one visible top-level window named name; null when there is none, or several.
    static QWidget *visible(const QString &name);
    /// The object names of every visible top-level window.
    static QStringList visibleNames();
};
