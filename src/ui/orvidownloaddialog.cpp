#include "orvidownloaddialog.h"

#include "formloader.h"
#include "messageboxhandler.h"
#include "orviinstalldialog.h"
#include "orviupdaterengine.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

OrviDownloadDialog::OrviDownloadDialog(OrviUpdaterEngine *engine)
    : m_engine(engine), m_form(FormLoader::load(QStringLiteral("Download")))
{
    m_progress
        = FormLoader::widget<QProgressBar>(m_form, QStringLiteral("Updater_Download_Progress"));
    QLabel *progressText
        = FormLoader::widget<QLabel>(m_form, QStringLiteral("Updater_Download_ProgressText"));
    QPushButton *cancelButton
        = FormLoader::widget<QPushButton>(m_form, QStringLiteral("Updater_Download_Cancel"));

    FormLoader::bindLifetime(this, m_form);
    connect(m_engine, &OrviUpdaterEngine::downloadProgress, m_progress, &QProgressBar::setValue);
    connect(m_engine, &OrviUpdaterEngine::error, this, &OrviDownloadDialog::error);
    connect(m_engine, &OrviUpdaterEngine::downloadFile, progressText, &QLabel::setText);
    connect(m_engine, &OrviUpdaterEngine::downloadFinished, this, &OrviDownloadDialog::finished);
    // The engine stops first, so the aborted transfer reports no error.
    connect(cancelButton, &QPushButton::clicked, m_engine, &OrviUpdaterEngine::abortDownload);
    connect(cancelButton, &QPushButton::clicked, m_form, &QWidget::close);

    // The title-bar close is a Cancel too: otherwise the partial package would stay until a
    // later run.
    m_form->installEventFilter(this);
    FormLoader::show(m_form);

    // Started from the event loop, after whoever created this dialog has returned (with
    // "-q", once start-up has entered the loop).
    QTimer::singleShot(0, m_engine, &OrviUpdaterEngine::beginDownload);
}

OrviDownloadDialog::~OrviDownloadDialog() = default;

bool OrviDownloadDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_form && event->type() == QEvent::Close && !m_downloadEnded)
        m_engine->abortDownload();
    return QObject::eventFilter(watched, event);
}

void OrviDownloadDialog::error(const QString &str)
{
    if (!m_form || !m_form->isVisible())
        return;
    m_downloadEnded = true;
    m_form->close();
    // The catalogue has no entry in this context, so the title stays English.
    MessageBoxHandler::critical(
        QCoreApplication::translate("OrviDownloadDialog", "Update"), str, QMessageBox::Ok);
}

void OrviDownloadDialog::finished()
{
    if (!m_form || !m_form->isVisible())
        return;
    m_downloadEnded = true;
    m_form->close();
    // The install window is shown before control returns to the event loop, so closing this
    // one does not end the updater. It owns itself through its window.
    new OrviInstallDialog(m_engine);
}
