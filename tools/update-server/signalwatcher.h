#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

/*
 * Turns SIGINT and SIGTERM into a Qt signal delivered by the event loop. The handler only
 * writes the signal number into a socket pair, the one thing that is safe inside a handler;
 * a notifier on the other end reads it. One watcher per process.
 */
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

    /// False when the socket pair or the handlers could not be set up.
    bool isValid() const { return m_notifier != nullptr; }

signals:
    /// SIGINT or SIGTERM arrived.
    void terminationRequested(int signalNumber);

private:
    void readSignal();

    std::unique_ptr<QSocketNotifier> m_notifier;
};
