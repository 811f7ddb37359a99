#include "updatequeryclient.h"

#include "replyreader.h"
#include "systemproxy.h"
#include "updateentry.h"
#include "updatequery.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QNetworkProxy>

UpdateQueryClient::UpdateQueryClient(
    UpdateServer server, int networkTimeoutMs, int queryTimeoutMs, AnswerTrust trust)
    : m_server(std::move(server))
    , m_networkTimeout(networkTimeoutMs)
    , m_queryTimeout(queryTimeoutMs)
    , m_trust(std::move(trust))
{
}

UpdateQueryClient::~UpdateQueryClient() = default;

UpdateQueryClient::Reply UpdateQueryClient::exchange(
    const QByteArray &request, const QByteArray &nonce)
{
    Reply result;
    // One limit for the whole exchange, so that a server trickling bytes cannot hold the run.
    const QDeadlineTimer deadline(m_queryTimeout);
    const auto wait = [this, &deadline] {
        return int(qBound(qint64(0), deadline.remainingTime(), qint64(m_networkTimeout)));
    };
    m_socket.setReadBufferSize(UpdateQuery::ReadChunkSize);
    const QNetworkProxy proxy = SystemProxy().tunnelTo(m_server.host(), m_server.port());
    m_socket.setProxy(proxy);
    m_socket.connectToHost(m_server.host(), m_server.port(), QIODevice::ReadWrite);
    if (!m_socket.waitForConnected(wait())) {
        // Through a proxy, whatever failed, the proxy is what the user can check.
        if (proxy.type() != QNetworkProxy::NoProxy) {
            result.outcome = Outcome::ProxyFailed;
            result.proxy = QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
            result.socketError = m_socket.errorString();
            return result;
        }
        result.outcome = Outcome::ConnectFailed;
        return result;
    }
    m_socket.write(request);
    m_socket.waitForBytesWritten(wait());

    // Bytes may already wait in the socket (read while the request was being written), and
    // waitForReadyRead() only reports bytes that come after them.
    ReplyReader reply(nonce);
    while (!reply.add(m_socket.read(UpdateQuery::ReadChunkSize))) {
        if (reply.isHopeless() || reply.size() > UpdateQuery::MaxReplySize
            || reply.cost() > UpdateQuery::MaxReplySize || deadline.hasExpired()
            || (m_socket.bytesAvailable() == 0 && !m_socket.waitForReadyRead(wait()))) {
            result.outcome = Outcome::ExchangeFailed;
            return result;
        }
    }
    const AnswerSignature::Result check
        = reply.checkSignature(m_trust.packageKeys, QDateTime::currentDateTimeUtc());
    if (check != AnswerSignature::Result::Verified
        && !(check == AnswerSignature::Result::Unsigned && m_trust.unsignedAllowed)) {
        result.outcome = Outcome::AnswerRefused;
        result.answerCheck = check;
        return result;
    }
    for (UpdateEntry *entry : reply.takeEntries())
        result.entries.emplace_back(entry);
    result.outcome = Outcome::Received;
    return result;
}
