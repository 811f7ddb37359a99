#pragma once

#include <QObject>

#include <functional>

/*
 * Runs code inside the application's event loop, as the program's slots run, and counts
 * the quit requests it makes. QCoreApplication::quit() does nothing outside the event loop,
 * so a request made there could not be seen; here it is seen and swallowed, and the test
 * goes on.
 */
class QuitRecorder : public QObject
{
    Q_OBJECT

public:
    /// Runs work within the event loop and returns how many times it requested quitting.
    static int run(const std::function<void()> &work);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    int m_requests = 0;
};
