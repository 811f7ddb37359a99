#include "installationrun.h"

#include "messageboxhandler.h"
#include "platform.h"
#include "removefolderfiles.h"
#include "updateentry.h"

#include <QCoreApplication>

InstallationRun::InstallationRun(const QVector<UpdateEntry *> &updates,
    const QString &downloadFolder, QString *details, bool *installSucceeded)
    : m_updates(updates)
    , m_downloadFolder(downloadFolder)
    , m_details(details)
    , m_installSucceeded(installSucceeded)
{
}

InstallationRun::~InstallationRun() = default;

void InstallationRun::run()
{
    const int count = int(m_updates.size());
    for (int i = 0; i < count; ++i) {
        const UpdateEntry *entry = m_updates.at(i);
        m_installers.push_back(std::make_unique<PackageInstaller>(entry));
        const QString name
            = QString::fromLatin1(entry->name().data(), qsizetype(entry->name().size()));
        emit installFile(name);
        *m_details
            += QCoreApplication::translate("translation",
                   "Installing package %1:", "status information about currently installed package")
                   .arg(name)
            + QLatin1Char('\n');

        QString errorText;
        QStringList detailsList;
        if (!m_installers.back()->install(m_downloadFolder, &errorText, &detailsList)) {
            rollBack(i, name, errorText);
            return;
        }
        detailsList.sort();
        *m_details += detailsList.join(QLatin1Char('\n')) + QLatin1String("\n\n");
        emit installProgress(100 * (i + 1) / count);
    }
    *m_installSucceeded = true;
    emit installFinished();
    removeFolderFiles(m_downloadFolder);
}

void InstallationRun::rollBack(int failed, const QString &name, const QString &errorText)
{
    const QString title = QCoreApplication::translate("translation", "Update", "nc");
    QString text
        = QCoreApplication::translate("translation", "Failed installing package ", "nc") + name;
    if (!errorText.isEmpty())
        text += QLatin1Char('\n') + errorText;
    const QMessageBox::StandardButton answer = MessageBoxHandler::warning(
        title, text, QMessageBox::Abort | QMessageBox::Retry, QMessageBox::Retry);

    emit installFile(QCoreApplication::translate("translation", "Rollback update",
        "restoring application to state before installing update"));
    emit installProgress(0);
    // Newest first, so that a file replaced by several packages ends as it was before the run.
    // Entries never reached have nothing to undo; the progress still steps over them.
    const int count = int(m_updates.size());
    int step = 0;
    for (int j = count - 1; j > failed; --j)
        emit installProgress(100 * ++step / count);
    for (int j = failed; j >= 0; --j) {
        if (!m_installers.at(size_t(j))->rollback(m_downloadFolder)) {
            MessageBoxHandler::critical(title,
                QCoreApplication::translate("translation",
                    "An error occured while rolling back update progress. Software may "
                    "not work properly. Try reinstalling whole application",
                    "nc"));
            QCoreApplication::quit();
        }
        emit installProgress(100 * ++step / count);
    }

    *m_details = QStringLiteral("An error occured while installing updates");
    emit installFinished();
    removeFolderFiles(m_downloadFolder);

    if (answer == QMessageBox::Retry) {
        Platform::startDetached(
            QCoreApplication::applicationFilePath(), QCoreApplication::arguments());
        QCoreApplication::quit();
    }
}
