#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

class OrviUpdaterEngine;
class QProgressBar;

/*
 * The download window: starts the engine's download on the next pass of the event loop,
 * shows the package being fetched and the overall percentage, lets the user cancel (with the
 * button or by closing the window), shows a failure in a box, and leads on to the installation
 * when every package is in. The object lives as long as its window.
 */
class OrviDownloadDialog : public QObject
{
    Q_OBJECT

public:
    /// Builds the window from the download form, wires it to engine, shows it and arranges
    /// for engine's beginDownload() to run once control is back in the event loop.
    explicit OrviDownloadDialog(OrviUpdaterEngine *engine);
    /// Releases nothing: the window deletes itself, and this object goes with it.
    ~OrviDownloadDialog() override;

protected:
    /// Aborts the download when the user closes the window, as "Cancel" does.
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void error(const QString &str);
    void finished();

private:
    OrviUpdaterEngine *m_engine = nullptr;
    /// Set once the download has ended, so that closing the window aborts nothing.
    bool m_downloadEnded = false;
    QProgressBar *m_progress = nullptr;
    // The user may close the window while the engine still reports; the engine's last
    // signals must not reach a window that is gone.
    QPointer<QWidget> m_form;
};
