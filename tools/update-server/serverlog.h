#pragma once

#include <QString>

/// The server's log: one line per exchange on standard error, with the time in UTC.
class ServerLog
{
public:
    /// Stamps line with the time and queues it for a writer thread, which writes and flushes
    /// it at once, so a tail follows the exchange. Standard error may be a file on a busy
    /// disk or a pipe nobody reads: the event loop never waits for it. Lines beyond a backlog
    /// of 100,000 are dropped and their number logged.
    static void write(const QString &line);
    /// Waits until everything queued is written, at most milliseconds; false if standard
    /// error did not take it in that time (the program then ends without waiting for it).
    static bool drain(int milliseconds);
};
