#pragma once

#include <QObject>

class OrviUpdaterEngine;
class QPlainTextEdit;
class QPushButton;
class QWidget;

/*
 * The offer window: tells the user that updates are available, folds out the changelog of
 * every update, and leads on to the download ("Download now") or ends the updater
 * ("Download later"). The object lives as long as its window.
 */
class OrviChangelogDialog : public QObject
{
    Q_OBJECT

public:
    /// Builds the window from the changelog form, fills in the changelog of engine's
    /// catalogue (folded) and shows the window.
    explicit OrviChangelogDialog(OrviUpdaterEngine *engine);
    /// Releases nothing: the window deletes itself, and this object goes with it.
    ~OrviChangelogDialog() override;

private slots:
    void toggleChangelog();
    void downloadNow();

private:
    OrviUpdaterEngine *m_engine = nullptr;
    QPlainTextEdit *m_changelogText = nullptr;
    QPushButton *m_viewChangelogButton = nullptr;
    QWidget *m_form = nullptr;
};
