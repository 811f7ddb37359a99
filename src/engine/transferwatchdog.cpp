#include "transferwatchdog.h"

TransferWatchdog::TransferWatchdog(QObject *parent) : QObject(parent)
{
    m_stallTimer.setSingleShot(true);
    connect(&m_stallTimer, &QTimer::timeout, this, [this] {
        stop();
        emit gaveUp(Verdict::Stalled);
    });
    connect(&m_windowTimer, &QTimer::timeout, this, &TransferWatchdog::checkWindow);
}

void TransferWatchdog::setMinimumRate(qint64 bytesPerSecond, int windowMs)
{
    m_minimumRate = bytesPerSecond;
    m_rateWindow = windowMs;
}

void TransferWatchdog::start()
{
    m_received = 0;
    m_receivedAtWindowStart = 0;
    m_stallTimer.start(m_stallTimeout);
    if (m_minimumRate > 0 && m_rateWindow > 0)
        m_windowTimer.start(m_rateWindow);
    else
        m_windowTimer.stop();
}

void TransferWatchdog::noteActivity()
{
    if (m_stallTimer.isActive())
        m_stallTimer.start(m_stallTimeout);
}

void TransferWatchdog::noteReceived(qint64 received)
{
    m_received = received;
    noteActivity();
}

void TransferWatchdog::stop()
{
    m_stallTimer.stop();
    m_windowTimer.stop();
}

void TransferWatchdog::checkWindow()
{
    // Judged per whole window, so a trickle is given up at most two windows after it starts;
    // the first window also covers the connection and the header.
    if (m_received - m_receivedAtWindowStart >= m_minimumRate * m_rateWindow / 1000) {
        m_receivedAtWindowStart = m_received;
        return;
    }
    stop();
    emit gaveUp(Verdict::TooSlow);
}
