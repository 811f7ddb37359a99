#include "runlock.h"

#include "platform.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

RunLock::Result RunLock::acquire(
    const QString &lockFile, const QString &appFolder, int timeoutMs, QString *errorText)
{
    release();
    m_holder = Holder();
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
    if (result == Result::Locked || result == Result::Unwritable)
        m_holder = Holder();
    else
        release();
    return result;
}

QByteArray RunLock::holderRecord()
{
    return Platform::userName().toUtf8() + '\n'
        + QByteArray::number(QCoreApplication::applicationPid()) + '\n';
}

RunLock::Holder RunLock::holderOf(const QByteArray &record)
{
    const QList<QByteArray> lines = record.split('\n');
    bool isNumber = false;
    const qint64 process = lines.value(1).toLongLong(&isNumber);
    const QString user = QString::fromUtf8(lines.value(0)).trimmed();
    // Anyone who may hold the lock may write anything into it: only its own form is shown.
    if (lines.size() != 3 || !lines.at(2).isEmpty() || !isNumber || process <= 0 || user.isEmpty()
        || user.size() > 200)
        return Holder();
    return { user, process };
}
