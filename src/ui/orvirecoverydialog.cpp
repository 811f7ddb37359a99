#include "orvirecoverydialog.h"

#include "formloader.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>

OrviRecoveryDialog::OrviRecoveryDialog() : m_form(FormLoader::load(QStringLiteral("Install")))
{
    m_progress = FormLoader::widget<QProgressBar>(
        m_form.get(), QStringLiteral("Updater_Install_Progress"));
    FormLoader::widget<QLabel>(m_form.get(), QStringLiteral("Updater_Install_ProgressText"))
        ->setText(
            QCoreApplication::translate("translation", "Restoring the previous version…", "nc"));
    // Owned here rather than deleting itself: the boxes that follow need it gone at once.
    m_form->show();
    repaint();
}

OrviRecoveryDialog::~OrviRecoveryDialog() = default;

void OrviRecoveryDialog::setProgress(int percent)
{
    if (percent == m_progress->value())
        return;
    m_progress->setValue(percent);
    repaint();
}

void OrviRecoveryDialog::repaint()
{
    // The recovery runs before the event loop does; window-system events only, so that the
    // window is shown and painted without taking any input.
    QCoreApplication::processEvents(
        QEventLoop::ExcludeUserInputEvents | QEventLoop::ExcludeSocketNotifiers);
}
