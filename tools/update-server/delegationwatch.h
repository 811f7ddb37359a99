#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

/*
 * Keeps an eye on the server key's delegation while the server runs: logs a warning from a week
 * before it expires, and its expiry, after which the server answers no query (the updaters
 * would refuse every answer). A server runs for months; its publisher reads the log.
 */
class DelegationWatch : public QObject
{
    Q_OBJECT

public:
    /// How long before the expiry the warning comes.
    static constexpr qint64 WarningDays = 7;

    /// Watches the delegation of the key keyId that ends at expires.
    DelegationWatch(QString keyId, QDateTime expires, QObject *parent = nullptr);

    /// Logs what is due now and waits for the next event.
    void check();

private:
    const QString m_keyId;
    const QDateTime m_expires;
    bool m_warned = false;
    bool m_expired = false;
    QTimer m_timer;
};
