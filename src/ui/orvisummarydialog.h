#pragma once

#include <QObject>

class OrviUpdaterEngine;
class QPlainTextEdit;
class QPushButton;
class QWidget;

/*
 * The last window: says whether the installation succeeded, shows the run's details
 * (which "View details" folds and unfolds), and on "Close" starts the main application
 * again and ends the updater. The object lives as long as its window.
 */
class OrviSummaryDialog : public QObject
{
    Q_OBJECT

public:
    /// Builds the window from the summary form with engine's result and details and shows it.
    explicit OrviSummaryDialog(OrviUpdaterEngine *engine);
    /// Releases nothing: the window deletes itself, and this object goes with it.
    ~OrviSummaryDialog() override;

private slots:
    void restartOrvi();
    void toggleDetails();

private:
    OrviUpdaterEngine *m_engine = nullptr;
    QWidget *m_form = nullptr;
    QPlainTextEdit *m_detailsText = nullptr;
    QPushButton *m_viewDetailsButton = nullptr;
};
