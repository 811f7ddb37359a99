#pragma once

#include <QList>
#include <QMessageBox>
#include <QString>

#include <functional>

/*
 * The one way the program shows a message box. The program's boxes are modal and
 * parentless; tests install an answerer, which records what would have been shown and
 * decides the answer without any window.
 */
class MessageBoxHandler
{
public:
    struct Box
    {
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons = QMessageBox::Ok;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    };
    using Answerer = std::function<QMessageBox::StandardButton(const Box &box)>;

    /// Shows a modal box without parent and returns the button the user chose.
    static QMessageBox::StandardButton show(const Box &box);

    static QMessageBox::StandardButton critical(const QString &title, const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
    static QMessageBox::StandardButton warning(const QString &title, const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
    static QMessageBox::StandardButton information(const QString &title, const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

    /// Replaces the real box by answerer; an empty function restores the real box.
    static void setAnswerer(Answerer answerer);
    /// Answers every box automatically: with its default button, else OK, else its first button.
    static void setAutomaticAnswers();
    /// The answer a user pressing Enter would give to box.
    static QMessageBox::StandardButton defaultAnswer(const Box &box);
};
