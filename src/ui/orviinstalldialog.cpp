#include "orviinstalldialog.h"

#include "formloader.h"
#include "orvisummarydialog.h"
#include "orviupdaterengine.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>

OrviInstallDialog::OrviInstallDialog(OrviUpdaterEngine *engine)
    : m_engine(engine), m_form(FormLoader::load(QStringLiteral("Install")))
{
    m_progress
        = FormLoader::widget<QProgressBar>(m_form, QStringLiteral("Updater_Install_Progress"));
    QLabel *progressText
        = FormLoader::widget<QLabel>(m_form, QStringLiteral("Updater_Install_ProgressText"));

    FormLoader::bindLifetime(this, m_form);
    connect(m_engine, &OrviUpdaterEngine::installProgress, m_progress, &QProgressBar::setValue);
    connect(m_engine, &OrviUpdaterEngine::installFile, progressText, &QLabel::setText);
    connect(m_engine, &OrviUpdaterEngine::installFinished, this, &OrviInstallDialog::finished);
    // The run never returns to the event loop, which would show the window and paint the
    // changes; they are painted as they come, without handling any user input meanwhile.
    connect(m_engine, &OrviUpdaterEngine::installProgress, this, &OrviInstallDialog::repaintForm);
    connect(m_engine, &OrviUpdaterEngine::installFile, this, &OrviInstallDialog::repaintForm);

    FormLoader::show(m_form);
    repaintForm();

    m_engine->installUpdates();
    // The run is over and the summary window is open; the engine is no concern of this
    // window any more.
    disconnect(m_engine, nullptr, this, nullptr);
}

OrviInstallDialog::~OrviInstallDialog() = default;

void OrviInstallDialog::finished()
{
    m_form->close();
    // The summary window is shown before control returns to the event loop, so closing this
    // one does not end the updater. It owns itself through its window.
    new OrviSummaryDialog(m_engine);
}

void OrviInstallDialog::repaintForm()
{
    // Window-system events (exposure, painting) only: no input, and no network events that
    // could reach code that is waiting for this run to end.
    if (m_form->isVisible())
        QCoreApplication::processEvents(
            QEventLoop::ExcludeUserInputEvents | QEventLoop::ExcludeSocketNotifiers);
}
