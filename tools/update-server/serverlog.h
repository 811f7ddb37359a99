#pragma once

#include <QString>

/// The server's log: one line per exchange on standard error, with the time in UTC.
class ServerLog
{
public:
    /// Writes line with a time stamp and flushes it at once, so a tail follows the exchange.
    static void write(const QString &line);
};
