#pragma once

#include <QObject>
#include <QTimer>

/*
 * Watches the pace of one transfer: it gives up on a transfer that receives nothing for the
 * stall time, and on one whose body arrives slower than a minimum rate over a whole window
 * (as curl's --speed-limit and --speed-time do). Headers and redirects carry no body bytes,
 * so a HEAD or a chain of redirects that takes longer than one window is given up too.
 */
class TransferWatchdog : public QObject
{
    Q_OBJECT

public:
    enum class Verdict {
        /// Nothing arrived for the stall time.
        Stalled,
        /// Fewer body bytes than the minimum rate asks for arrived in one window.
        TooSlow,
    };

    /// How long a transfer may receive nothing, in milliseconds.
    static constexpr int DefaultStallTimeout = 60000;
    /// The slowest body accepted, in bytes per second, averaged over one window.
    static constexpr qint64 DefaultMinimumRate = 1024;
    /// The window over which the rate is averaged, in milliseconds.
    static constexpr int DefaultRateWindow = 60000;

    explicit TransferWatchdog(QObject *parent = nullptr);

    /// Sets how long, in milliseconds, a transfer may receive nothing.
    void setStallTimeout(int ms) { m_stallTimeout = ms; }
    int stallTimeout() const { return m_stallTimeout; }
    /// Sets the slowest body accepted: bytesPerSecond averaged over windowMs; a rate of 0
    /// accepts any pace.
    void setMinimumRate(qint64 bytesPerSecond, int windowMs);

    /// Starts watching a new transfer, with no body bytes yet.
    void start();
    /// Something arrived (a header, a redirect, part of the body): the stall time starts again.
    void noteActivity();
    /// The transfer's body has reached received bytes in all.
    void noteReceived(qint64 received);
    /// Stops watching; nothing is reported until the next start().
    void stop();

signals:
    /// The transfer should be given up, for verdict. Reported once per start().
    void gaveUp(TransferWatchdog::Verdict verdict);

private:
    void checkWindow();

    QTimer m_stallTimer;
    QTimer m_windowTimer;
    int m_stallTimeout = DefaultStallTimeout;
    qint64 m_minimumRate = DefaultMinimumRate;
    int m_rateWindow = DefaultRateWindow;
    qint64 m_received = 0;
    qint64 m_receivedAtWindowStart = 0;
};
