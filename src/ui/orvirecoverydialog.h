#pragma once

#include <memory>

class QProgressBar;
class QWidget;

/*
 * The install window while the next start undoes an interrupted run: it says the previous
 * version is being restored and shows how far that got. It has no button, and it closes when
 * the object goes.
 */
class OrviRecoveryDialog
{
public:
    /// Builds the window from the install form, headed by the restoring text, and shows it.
    OrviRecoveryDialog();
    /// Closes the window.
    ~OrviRecoveryDialog();

    /// Puts percent (0 to 100) on the bar and paints the window at once.
    void setProgress(int percent);

private:
    void repaint();

    std::unique_ptr<QWidget> m_form;
    QProgressBar *m_progress = nullptr;
};
