#pragma once

#include <QObject>
#include <QString>
#include <QWidget>

/*
 * The one way a dialog turns one of its forms (compiled into the program by uic) into its
 * window. The window is a parentless
 * top-level widget that deletes itself when closed; its destruction schedules the deletion
 * of the dialog object, so dialog and window live and die together.
 *
 * The forms are part of the program, so a form or widget that cannot be found is a
 * programming error: the program aborts with a message naming it, in every build, rather
 * than crash later on a null pointer.
 */
class FormLoader
{
public:
    enum Size {
        DesignedSize, ///< the size stored in the form
        CompactSize ///< the smallest size the visible contents allow
    };

    /// Builds the window of the form named name ("Changelog", "Download", "Install" or
    /// "Summary", after src/res/<name>.ui), without parent. Aborts for any other name.
    static QWidget *load(const QString &name);

    /// The descendant of form named name and of class T (or derived from it). Aborts when
    /// there is none.
    template<class T>
    static T *widget(QWidget *form, const QString &name)
    {
        T *found = form->findChild<T *>(name);
        if (!found)
            missingWidget(form, name, T::staticMetaObject.className());
        return found;
    }

    /// Schedules dialog's deletion (deleteLater) for when form is destroyed.
    static void bindLifetime(QObject *dialog, QWidget *form);

    /// Lets closing form delete it, brings it to size and shows it.
    static void show(QWidget *form, Size size = DesignedSize);

private:
    [[noreturn]] static void missingWidget(
        const QWidget *form, const QString &name, const char *className);
};
