#include "updatequeryconnection.h"

#include "inventoryparser.h"
#include "serverlog.h"
#include "updatereplybuilder.h"

#include <cerrno>

#include <sys/socket.h>
#include <unistd.h>

UpdateQueryConnection::UpdateQueryConnection(
    int descriptor, QString peer, UpdateReplyBuilder *replyBuilder, Limits limits, qint64 now)
    : m_descriptor(descriptor)
    , m_peer(std::move(peer))
    , m_replyBuilder(replyBuilder)
    , m_limits(limits)
    , m_start(now)
    , m_lastActivity(now)
{
}

UpdateQueryConnection::~UpdateQueryConnection()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

bool UpdateQueryConnection::handleReady(qint64 now)
{
    if (isWriting())
        return writeReply(now);
    char buffer[16 * 1024];
    for (;;) {
        const ssize_t received = ::recv(m_descriptor, buffer, sizeof buffer, 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (received <= 0) {
            finish(QStringLiteral("closed by the peer after %1 bytes, no complete request")
                       .arg(m_request.size()));
            return false;
        }
        m_lastActivity = now;
        m_request.append(buffer, qsizetype(received));
        if (m_request.size() > m_limits.maximumRequestSize) {
            finish(QStringLiteral("dropped: request longer than %1 bytes")
                       .arg(m_limits.maximumRequestSize));
            return false;
        }
        const bool complete = InventoryParser::isComplete(m_request, &m_searched, &m_openMarker);
        if (complete) {
            answer();
            m_answeredAt = now;
            return m_outcome.isEmpty() ? false : writeReply(now);
        }
    }
}

bool UpdateQueryConnection::checkTime(qint64 now)
{
    if (!isWriting() && now - m_start >= m_limits.requestDeadline) {
        finish(QStringLiteral("dropped: no complete request within %1 ms")
                   .arg(m_limits.requestDeadline));
        return false;
    }
    if (isWriting() && now - m_answeredAt >= m_limits.requestDeadline) {
        finish(m_outcome
            + QStringLiteral("; the peer did not take the reply within %1 ms, aborted")
                  .arg(m_limits.requestDeadline));
        return false;
    }
    if (now - m_lastActivity >= m_limits.idleTimeout) {
        finish(isWriting()
                ? m_outcome + QStringLiteral("; the peer did not take the reply, aborted")
                : QStringLiteral("dropped: nothing received for %1 ms").arg(m_limits.idleTimeout));
        return false;
    }
    return true;
}

void UpdateQueryConnection::answer()
{
    QList<InventoryParser::Component> components;
    QString errorText;
    UpdateReplyBuilder::Summary summary;
    if (!InventoryParser::parse(m_request, &components, &errorText)
        || !m_replyBuilder->build(components, &m_reply, &summary, &errorText)) {
        finish(QStringLiteral("dropped: %1").arg(errorText));
        return;
    }
    m_request = QByteArray();
    m_outcome = QStringLiteral("%1 components: %2 available, %3 latest, %4 unknown; %5 bytes")
                    .arg(components.size())
                    .arg(summary.available)
                    .arg(summary.latest)
                    .arg(summary.unknown)
                    .arg(m_reply.size());
    if (!summary.unusableSignatures.isEmpty())
        m_outcome += QStringLiteral("; left out, not a signature text: %1")
                         .arg(summary.unusableSignatures.join(QLatin1String(", ")));
}

bool UpdateQueryConnection::writeReply(qint64 now)
{
    while (isWriting()) {
        const ssize_t sent = ::send(m_descriptor, m_reply.constData() + m_written,
            size_t(m_reply.size() - m_written), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (sent < 0) {
            finish(m_outcome + QStringLiteral("; the peer went away before the reply"));
            return false;
        }
        m_written += sent;
        m_lastActivity = now;
    }
    // Closing with unread bytes would reset the connection and could cost the client the end
    // of its reply; whatever it sent after the request is read and left.
    char ignored[4096];
    while (::recv(m_descriptor, ignored, sizeof ignored, MSG_DONTWAIT) > 0) { }
    // Closes once the reply is handed over; the updater accepts it as soon as it parses.
    finish(m_outcome);
    return false;
}

void UpdateQueryConnection::finish(const QString &outcome)
{
    ::close(m_descriptor);
    m_descriptor = -1;
    m_reply = QByteArray();
    m_written = 0;
    ServerLog::write(QStringLiteral("update %1 %2").arg(m_peer, outcome));
}
