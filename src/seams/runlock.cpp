#include "runlock.h"

#include <QDeadlineTimer>
#include <QThread>

RunLock::Result RunLock::acquire(
    const QString &lockFile, const QString &appFolder, int timeoutMs, QString *errorText)
{
    release();
    const QDeadlineTimer deadline(timeoutMs);
    const auto waitFor = [&](auto attempt) {
        for (;;) {
            const Result result = attempt();
            if (result != Result::Busy || deadline.hasExpired())
                return result;
            // Neither lock can be waited for with a time limit on every system, so the wait
            // polls; a tenth of a second is nothing against a run's length.
            QThread::msleep(quint64(qMin<qint64>(100, qMax<qint64>(1, deadline.remainingTime()))));
        }
    };
    Result result = waitFor([&] { return tryLockFile(lockFile, errorText); });
    if (result == Result::Locked && !appFolder.isEmpty())
        result = waitFor([&] { return tryLockFolder(appFolder, errorText); });
    if (result != Result::Locked)
        release();
    return result;
}
