#include "orvichangelogdialog.h"

#include "formloader.h"
#include "orvidownloaddialog.h"
#include "orviupdaterengine.h"
#include "updateentry.h"

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QPushButton>

#include <string>

namespace {

QString fromUtf8(const std::string &text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// Every update's description, version and changelog, one blank line between updates. The
// heading is Polish in every language, so it is not translated.
QString changelogOf(const QVector<UpdateEntry *> &updates)
{
    QString text;
    for (const UpdateEntry *entry : updates) {
        if (!text.isEmpty())
            text += QLatin1String("\n\n");
        text += fromUtf8(entry->description());
        text += QLatin1Char('\n');
        text += QLatin1String("Zmiany w wersji ") + fromUtf8(entry->version());
        text += QLatin1Char('\n');
        text += fromUtf8(entry->changelog());
    }
    return text;
}

} // namespace

OrviChangelogDialog::OrviChangelogDialog(OrviUpdaterEngine *engine)
    : m_engine(engine), m_form(FormLoader::load(QStringLiteral("Changelog")))
{
    FormLoader::bindLifetime(this, m_form);

    m_viewChangelogButton = FormLoader::widget<QPushButton>(
        m_form, QStringLiteral("Updater_Changelog_ViewChangelog"));
    connect(
        m_viewChangelogButton, &QPushButton::clicked, this, &OrviChangelogDialog::toggleChangelog);
    QPushButton *downloadNowButton
        = FormLoader::widget<QPushButton>(m_form, QStringLiteral("Updater_Changelog_DownloadNow"));
    connect(downloadNowButton, &QPushButton::clicked, this, &OrviChangelogDialog::downloadNow);
    QPushButton *downloadLaterButton = FormLoader::widget<QPushButton>(
        m_form, QStringLiteral("Updater_Changelog_DownloadLater"));
    connect(downloadLaterButton, &QPushButton::clicked, m_form, &QWidget::close);
    m_changelogText
        = FormLoader::widget<QPlainTextEdit>(m_form, QStringLiteral("Updater_Changelog_Details"));

    m_changelogText->setPlainText(changelogOf(m_engine->updates()));
    m_changelogText->hide();

    FormLoader::show(m_form, FormLoader::CompactSize);
}

OrviChangelogDialog::~OrviChangelogDialog() = default;

void OrviChangelogDialog::toggleChangelog()
{
    if (m_changelogText->isVisible()) {
        m_changelogText->hide();
        m_viewChangelogButton->setText(
            QCoreApplication::translate("translation", "Show changelog", "nc"));
    } else {
        m_changelogText->show();
        m_viewChangelogButton->setText(
            QCoreApplication::translate("translation", "Hide changelog", "nc"));
    }
    // The window grows and shrinks with the text area; its width is fixed by the form.
    m_form->adjustSize();
}

void OrviChangelogDialog::downloadNow()
{
    m_form->close();
    // The download window is shown before control returns to the event loop, so closing
    // this one does not end the updater. It owns itself through its window.
    new OrviDownloadDialog(m_engine);
}
