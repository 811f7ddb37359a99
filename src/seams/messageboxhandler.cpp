#include "messageboxhandler.h"

namespace {
MessageBoxHandler::Answerer &answerer()
{
    static MessageBoxHandler::Answerer instance;
    return instance;
}
} // namespace

QMessageBox::StandardButton MessageBoxHandler::show(const Box &box)
{
    if (answerer())
        return answerer()(box);
    QMessageBox messageBox(box.icon, box.title, box.text, box.buttons);
    if (box.defaultButton != QMessageBox::NoButton)
        messageBox.setDefaultButton(box.defaultButton);
    return static_cast<QMessageBox::StandardButton>(messageBox.exec());
}

QMessageBox::StandardButton MessageBoxHandler::critical(const QString &title, const QString &text,
    QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton)
{
    return show({ QMessageBox::Critical, title, text, buttons, defaultButton });
}

QMessageBox::StandardButton MessageBoxHandler::warning(const QString &title, const QString &text,
    QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton)
{
    return show({ QMessageBox::Warning, title, text, buttons, defaultButton });
}

QMessageBox::StandardButton MessageBoxHandler::information(const QString &title,
    const QString &text, QMessageBox::StandardButtons buttons,
    QMessageBox::StandardButton defaultButton)
{
    return show({ QMessageBox::Information, title, text, buttons, defaultButton });
}

void MessageBoxHandler::setAnswerer(Answerer newAnswerer)
{
    answerer() = std::move(newAnswerer);
}

void MessageBoxHandler::setAutomaticAnswers()
{
    setAnswerer(&MessageBoxHandler::defaultAnswer);
}

QMessageBox::StandardButton MessageBoxHandler::defaultAnswer(const Box &box)
{
    if (box.defaultButton != QMessageBox::NoButton)
        return box.defaultButton;
    if (box.buttons.testFlag(QMessageBox::Ok))
        return QMessageBox::Ok;
    for (int bit = QMessageBox::FirstButton; bit <= QMessageBox::LastButton; bit <<= 1) {
        if (box.buttons.testFlag(static_cast<QMessageBox::StandardButton>(bit)))
            return static_cast<QMessageBox::StandardButton>(bit);
    }
    return QMessageBox::NoButton;
}
