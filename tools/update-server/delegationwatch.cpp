#include "delegationwatch.h"

#include "serverlog.h"

namespace {
// A timer waits at most this long, well below its limit of 24.8 days; it is then set again.
constexpr qint64 LongestWait = 24 * 60 * 60 * 1000;
} // namespace

DelegationWatch::DelegationWatch(QString keyId, QDateTime expires, QObject *parent)
    : QObject(parent), m_keyId(std::move(keyId)), m_expires(std::move(expires))
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &DelegationWatch::check);
}

void DelegationWatch::check()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime warningTime = m_expires.addDays(-WarningDays);
    const QString expires = m_expires.toString(Qt::ISODate);
    if (!m_expired && now >= m_expires) {
        m_expired = true;
        ServerLog::write(QStringLiteral("the delegation of server key %1 expired at %2: update "
                                        "queries are closed unanswered until the server is "
                                        "restarted with a new delegation")
                             .arg(m_keyId, expires));
        return;
    }
    if (!m_warned && now >= warningTime) {
        m_warned = true;
        ServerLog::write(QStringLiteral("warning: the delegation of server key %1 expires at %2; "
                                        "renew it, after that no query is answered")
                             .arg(m_keyId, expires));
    }
    const QDateTime next = m_warned ? m_expires : warningTime;
    // A little past the moment, so that the check after the timer finds it passed.
    m_timer.start(int(qBound(qint64(0), now.msecsTo(next) + 10, LongestWait)));
}
