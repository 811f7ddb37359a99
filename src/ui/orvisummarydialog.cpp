#include "orvisummarydialog.h"

#include "formloader.h"
#include "mainapppaths.h"
#include "orviupdaterengine.h"
#include "platform.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

OrviSummaryDialog::OrviSummaryDialog(OrviUpdaterEngine *engine)
    : m_engine(engine), m_form(FormLoader::load(QStringLiteral("Summary")))
{
    m_detailsText
        = FormLoader::widget<QPlainTextEdit>(m_form, QStringLiteral("Updater_Summary_Details"));
    m_detailsText->setPlainText(m_engine->details());

    if (!m_engine->installSucceeded()) {
        FormLoader::widget<QLabel>(m_form, QStringLiteral("Updater_Summary_Status"))
            ->setText(QCoreApplication::translate("translation", "Installation failed", "nc"));
        FormLoader::widget<QLabel>(m_form, QStringLiteral("Updater_Summary_Instruction"))
            ->setText(QCoreApplication::translate("translation",
                "Please reinstall application with package from official web page", "nc"));
    }

    QAbstractButton *restartButton
        = FormLoader::widget<QAbstractButton>(m_form, QStringLiteral("Updater_Summary_Restart"));
    connect(restartButton, &QAbstractButton::clicked, this, &OrviSummaryDialog::restartOrvi);

    // The details start unfolded, so the button offers to hide them.
    m_viewDetailsButton
        = FormLoader::widget<QPushButton>(m_form, QStringLiteral("Updater_Summary_ViewDetails"));
    m_viewDetailsButton->setText(QCoreApplication::translate("translation", "Hide details", "nc"));
    connect(m_viewDetailsButton, &QPushButton::clicked, this, &OrviSummaryDialog::toggleDetails);

    FormLoader::bindLifetime(this, m_form);
    FormLoader::show(m_form);
}

OrviSummaryDialog::~OrviSummaryDialog() = default;

void OrviSummaryDialog::restartOrvi()
{
    // The update query has required "-root", so it is there in every update run.
    if (const std::optional<QString> root = m_engine->appRoot()) {
        Platform::startDetached(
            Platform::quoteProgram(MainAppPaths::mainAppPath(*root)), QStringList());
    }
    QCoreApplication::quit();
}

void OrviSummaryDialog::toggleDetails()
{
    if (m_detailsText->isVisible()) {
        m_detailsText->hide();
        m_viewDetailsButton->setText(
            QCoreApplication::translate("translation", "View details", "nc"));
    } else {
        m_detailsText->show();
        m_viewDetailsButton->setText(
            QCoreApplication::translate("translation", "Hide details", "nc"));
    }
    m_form->adjustSize();
}
