#pragma once

#include <QObject>

class OrviUpdaterEngine;
class QProgressBar;
class QWidget;

/*
 * The install window: shows the package being installed and the progress of the run, which
 * it starts itself from its constructor, and leads on to the summary when the run ends. It
 * has no button: an installation cannot be stopped halfway. The object lives as long as its
 * window.
 */
class OrviInstallDialog : public QObject
{
    Q_OBJECT

public:
    /// Builds the window from the install form, wires it to engine, shows it and runs
    /// engine's installUpdates(); the summary window is open when this returns.
    explicit OrviInstallDialog(OrviUpdaterEngine *engine);
    /// Releases nothing: the window deletes itself, and this object goes with it.
    ~OrviInstallDialog() override;

private slots:
    void finished();
    void repaintForm();

private:
    OrviUpdaterEngine *m_engine = nullptr;
    QWidget *m_form = nullptr;
    QProgressBar *m_progress = nullptr;
};
