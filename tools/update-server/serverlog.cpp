#include "serverlog.h"

#include <QByteArray>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace {

constexpr size_t MaximumQueuedLines = 100000;

// The time as Qt::ISODateWithMs writes it in UTC, made without QDateTime, which cost a
// few percent of a query.
QByteArray stamped(const QString &line)
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    const time_t seconds = time_t(milliseconds / 1000);
    tm utc = {};
    gmtime_r(&seconds, &utc);
    char stamp[40];
    const int length = std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ",
        utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
        int(milliseconds % 1000));
    QByteArray text(stamp, length);
    text += line.toUtf8();
    text += '\n';
    return text;
}

// Under load a blocked write to standard error would stop every connection at once; seconds
// were seen with the log on a disk that other programs kept busy.
class LogWriter
{
public:
    LogWriter() : m_thread([this] { run(); }) { }

    ~LogWriter()
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }

    void append(QByteArray line)
    {
        bool wasEmpty = false;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_lines.size() >= MaximumQueuedLines) {
                ++m_dropped;
                return;
            }
            wasEmpty = m_lines.empty();
            m_lines.push_back(std::move(line));
        }
        // The writer takes the whole queue at once, so only the first line of a batch wakes it.
        if (wasEmpty)
            m_wake.notify_one();
    }

    bool drain(int milliseconds)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_drained.wait_for(lock, std::chrono::milliseconds(milliseconds),
            [this] { return m_lines.empty() && m_dropped == 0 && !m_writing; });
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || !m_lines.empty() || m_dropped > 0; });
            if (m_stopping && m_lines.empty() && m_dropped == 0)
                return;
            std::deque<QByteArray> lines;
            lines.swap(m_lines);
            const size_t dropped = std::exchange(m_dropped, 0);
            m_writing = true;
            lock.unlock();
            QByteArray text;
            for (const QByteArray &line : lines)
                text += line;
            if (dropped > 0)
                text += stamped(QStringLiteral("%1 log lines dropped: standard error did not "
                                               "keep up")
                                    .arg(dropped));
            std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
            std::fflush(stderr);
            lock.lock();
            m_writing = false;
            m_drained.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_drained;
    bool m_writing = false;
    std::deque<QByteArray> m_lines;
    size_t m_dropped = 0;
    bool m_stopping = false;
    std::thread m_thread;
};

LogWriter &writer()
{
    static LogWriter instance;
    return instance;
}

} // namespace

void ServerLog::write(const QString &line)
{
    writer().append(stamped(line));
}

bool ServerLog::drain(int milliseconds)
{
    return writer().drain(milliseconds);
}
