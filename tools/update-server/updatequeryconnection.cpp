#include "updatequeryconnection.h"

#include "answerbinding.h"
#include "inventoryparser.h"
#include "memorybudget.h"
#include "proxyheader.h"
#include "serverlog.h"
#include "updatereplybuilder.h"

#include <cerrno>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// What one call reads at most, so that a client sending fast does not hold up the event
// loop; the rest waits in the socket for a later turn.
constexpr qsizetype ReadPerCall = 64 * 1024;

// Closing with a zero linger time resets the connection: the kernel drops what is still
// queued for the peer instead of keeping it, and the socket, until the peer takes it.
void reset(int descriptor)
{
    const linger immediately = { 1, 0 };
    ::setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &immediately, sizeof immediately);
}

} // namespace

UpdateQueryConnection::UpdateQueryConnection(int descriptor, QString peer,
    UpdateReplyBuilder *replyBuilder, MemoryBudget *budget, Limits limits, qint64 now)
    : m_descriptor(descriptor)
    , m_peer(std::move(peer))
    , m_replyBuilder(replyBuilder)
    , m_budget(budget)
    , m_limits(limits)
    , m_start(now)
    , m_lastActivity(now)
{
}

UpdateQueryConnection::~UpdateQueryConnection()
{
    if (m_descriptor >= 0) {
        reset(m_descriptor);
        ::close(m_descriptor);
    }
    m_budget->give(m_held);
}

bool UpdateQueryConnection::handleReady(qint64 now)
{
    if (isWriting())
        return writeReply(now);
    // The peer has sent all it should, or must wait for memory; what comes meanwhile waits
    // in the socket.
    if (m_complete || m_parked)
        return true;
    char buffer[16 * 1024];
    for (qsizetype read = 0; read < ReadPerCall;) {
        // Up to SmallExchange a request is read whatever the budget says.
        qsizetype piece = qsizetype(sizeof buffer);
        if (m_request.size() + piece > SmallExchange && !m_budget->fits(piece)) {
            piece = SmallExchange - m_request.size();
            if (piece <= 0) {
                m_parked = true;
                return true;
            }
        }
        const ssize_t received = ::recv(m_descriptor, buffer, size_t(piece), 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (received <= 0) {
            finish(QStringLiteral("closed by the peer after %1 bytes, no complete request")
                       .arg(m_request.size()),
                Close);
            return false;
        }
        read += received;
        m_lastActivity = now;
        m_request.append(buffer, qsizetype(received));
        if (m_awaitingProxyLine && !readProxyLine())
            return false;
        if (m_request.size() > m_limits.maximumRequestSize) {
            finish(QStringLiteral("dropped: request longer than %1 bytes")
                       .arg(m_limits.maximumRequestSize),
                Reset);
            return false;
        }
        hold(m_request.size());
        // The server answers it in its client's turn.
        if (!m_awaitingProxyLine
            && InventoryParser::isComplete(m_request, &m_searched, &m_openMarker)) {
            m_complete = true;
            return true;
        }
    }
    return true;
}

bool UpdateQueryConnection::readProxyLine()
{
    ProxyHeader header;
    switch (header.read(m_request)) {
    case ProxyHeader::Status::Incomplete:
        return true;
    case ProxyHeader::Status::Malformed:
        finish(QStringLiteral("dropped: no PROXY protocol line: %1")
                   .arg(QString::fromLatin1(m_request.left(ProxyHeader::MaximumSize)
                                                .split('\r')
                                                .constFirst()
                                                .toPercentEncoding(" :./[]"))),
            Reset);
        return false;
    case ProxyHeader::Status::Complete:
        break;
    }
    m_awaitingProxyLine = false;
    m_request.remove(0, header.length());
    if (!header.client().isNull()) {
        m_client = header.client();
        m_peer = QStringLiteral("%1:%2").arg(m_client.toString()).arg(header.clientPort());
    }
    return true;
}

UpdateQueryConnection::Wait UpdateQueryConnection::waitsFor() const
{
    if (isWriting())
        return Wait::Room;
    if (m_complete)
        return Wait::Turn;
    return m_parked ? Wait::Memory : Wait::Request;
}

bool UpdateQueryConnection::answerNow(qint64 now)
{
    answer();
    m_answeredAt = now;
    return !m_outcome.isEmpty() && writeReply(now) && holdReply();
}

bool UpdateQueryConnection::checkTime(qint64 now)
{
    // A complete request waits for its answer as long as it takes the server to get to it.
    if (waitsFor() == Wait::Turn)
        return true;
    if (!isWriting() && now - m_start >= m_limits.requestDeadline) {
        finish(QStringLiteral("dropped: no complete request within %1 ms")
                    .arg(m_limits.requestDeadline)
                + (m_parked
                        ? QStringLiteral(", %1 bytes received, then no room in the memory budget")
                              .arg(m_request.size())
                        : QString()),
            Reset);
        return false;
    }
    if (isWriting() && now - m_answeredAt >= m_limits.requestDeadline) {
        finish(m_outcome
                + QStringLiteral("; the peer did not take the reply within %1 ms, aborted")
                      .arg(m_limits.requestDeadline),
            Reset);
        return false;
    }
    if (now - m_lastActivity >= m_limits.idleTimeout) {
        finish(isWriting()
                ? m_outcome + QStringLiteral("; the peer did not take the reply, aborted")
                : QStringLiteral("dropped: nothing received for %1 ms").arg(m_limits.idleTimeout),
            Reset);
        return false;
    }
    return true;
}

void UpdateQueryConnection::answer()
{
    QList<InventoryParser::Component> components;
    QByteArray nonce;
    bool requestBound = false;
    QString errorText;
    UpdateReplyBuilder::Summary summary;
    if (!InventoryParser::parse(m_request, &components, &nonce, &requestBound, &errorText)) {
        finish(QStringLiteral("dropped: %1").arg(errorText), Reset);
        return;
    }
    // Whoever asked is told nothing rather than something no updater may take.
    if (const QString refusal = m_replyBuilder->refusal(QDateTime::currentDateTimeUtc());
        !refusal.isEmpty()) {
        finish(QStringLiteral("closed unanswered: %1").arg(refusal), Close);
        return;
    }
    const QByteArray binding = requestBound
        ? AnswerBinding::forRequest(InventoryParser::requestBytes(m_request))
        : AnswerBinding::forNonce(nonce);
    if (!m_replyBuilder->build(components, binding, &m_reply, &summary, &errorText)) {
        finish(QStringLiteral("dropped: %1").arg(errorText), Reset);
        return;
    }
    m_request = QByteArray();
    hold(0);
    m_outcome = QStringLiteral("%1 components: %2 available, %3 latest, %4 unknown; %5 bytes")
                    .arg(components.size())
                    .arg(summary.available)
                    .arg(summary.latest)
                    .arg(summary.unknown)
                    .arg(m_reply.size());
    if (summary.deltas > 0)
        m_outcome += QStringLiteral("; %1 with a delta").arg(summary.deltas);
    if (!requestBound)
        m_outcome += QStringLiteral("; signed for the nonce alone (an older updater)");
    if (summary.notEchoed > 0)
        m_outcome += QStringLiteral("; %1 unknown left out, a text over %2 bytes")
                         .arg(summary.notEchoed)
                         .arg(UpdateReplyBuilder::MaximumEchoedText);
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
            finish(m_outcome + QStringLiteral("; the peer went away before the reply"), Close);
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
    finish(m_outcome, Close);
    return false;
}

bool UpdateQueryConnection::holdReply()
{
    // What the socket took at once is the kernel's; the reply is held until all of it is.
    if (m_reply.size() <= SmallExchange || m_budget->fits(m_reply.size() - m_held)) {
        hold(m_reply.size());
        return true;
    }
    finish(m_outcome
            + QStringLiteral("; %1 bytes not taken at once, over the memory budget (%2 of %3 "
                             "bytes held), aborted")
                  .arg(m_reply.size() - m_written)
                  .arg(m_budget->held())
                  .arg(m_budget->limit()),
        Reset);
    return false;
}

void UpdateQueryConnection::hold(qsizetype bytes)
{
    m_budget->give(m_held);
    m_budget->take(bytes);
    m_held = bytes;
}

void UpdateQueryConnection::finish(const QString &outcome, Ending ending)
{
    if (ending == Reset)
        reset(m_descriptor);
    ::close(m_descriptor);
    m_descriptor = -1;
    m_request = QByteArray();
    m_reply = QByteArray();
    m_written = 0;
    hold(0);
    ServerLog::write(QStringLiteral("update %1 %2").arg(m_peer, outcome));
}
