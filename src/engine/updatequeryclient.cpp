#include "updatequeryclient.h"

#include "replyreader.h"
#include "systemproxy.h"
#include "updateentry.h"
#include "updatequery.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QNetworkProxy>
#include <QSslConfiguration>

namespace {
using CertificateProblem = UpdateQueryClient::CertificateProblem;

CertificateProblem problemOf(QSslError::SslError error)
{
    switch (error) {
    case QSslError::CertificateExpired:
    case QSslError::CertificateNotYetValid:
        return CertificateProblem::Expired;
    case QSslError::HostNameMismatch:
        return CertificateProblem::OtherName;
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::CertificateSignatureFailed:
    case QSslError::CertificateUntrusted:
    case QSslError::CertificateRejected:
    case QSslError::InvalidCaCertificate:
        return CertificateProblem::OtherAuthority;
    default:
        return CertificateProblem::Other;
    }
}
} // namespace

UpdateQueryClient::UpdateQueryClient(UpdateServer server, ServerTrust serverTrust,
    int networkTimeoutMs, int queryTimeoutMs, AnswerTrust trust)
    : m_server(std::move(server))
    , m_serverTrust(std::move(serverTrust))
    , m_networkTimeout(networkTimeoutMs)
    , m_queryTimeout(queryTimeoutMs)
    , m_trust(std::move(trust))
{
}

UpdateQueryClient::~UpdateQueryClient() = default;

UpdateQueryClient::Reply UpdateQueryClient::exchange(
    const QByteArray &request, const ComponentAnswers &expected)
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
    if (!m_serverTrust.isPlain()) {
        Reply refused = handshake(wait);
        if (refused.outcome != Outcome::Received)
            return refused;
    }
    m_socket.write(request);
    m_socket.waitForBytesWritten(wait());

    // Bytes may already wait in the socket (read while the request was being written), and
    // waitForReadyRead() only reports bytes that come after them.
    ReplyReader reply(request, expected);
    const auto overBounds = [&reply] {
        return reply.size() > UpdateQuery::MaxReplySize || reply.cost() > UpdateQuery::MaxReplySize;
    };
    while (!reply.add(m_socket.read(UpdateQuery::ReadChunkSize))) {
        if (reply.hasTrailingBytes())
            return delivered(QStringLiteral("bytes follow the answer's end"));
        if (reply.isHopeless())
            return delivered(QStringLiteral("it is not an answer the updater can read"));
        if (overBounds())
            return delivered(QStringLiteral("it passes the bounds of an answer"));
        if (deadline.hasExpired()
            || (m_socket.bytesAvailable() == 0 && !m_socket.waitForReadyRead(wait()))) {
            result.outcome = Outcome::ExchangeFailed;
            return result;
        }
    }
    // What came with the answer's end counts as part of it; over plain TCP, where anyone may
    // have added it, it is passed over as ever.
    while (m_socket.bytesAvailable() > 0 && !overBounds())
        reply.add(m_socket.read(UpdateQuery::ReadChunkSize));
    if (reply.hasTrailingBytes() && !m_serverTrust.isPlain())
        return delivered(QStringLiteral("bytes follow the answer's end"));

    const AnswerSignature::Result check
        = reply.checkSignature(m_trust.packageKeys, QDateTime::currentDateTimeUtc());
    const bool takenUnsigned
        = check == AnswerSignature::Result::Unsigned && m_trust.unsignedAllowed;
    if (check != AnswerSignature::Result::Verified && !takenUnsigned) {
        result.outcome = Outcome::AnswerRefused;
        result.answerCheck = check;
        result.refusal = QString::fromLatin1(AnswerSignature::describe(check));
        return result;
    }
    // An unsigned answer, where one is taken at all, vouches for nothing anyway.
    if (!takenUnsigned && reply.answers().unanswered() > 0) {
        result.outcome = Outcome::AnswerRefused;
        result.refusal = QStringLiteral("it answers %1 of %2 components, not %3")
                             .arg(reply.answers().expected() - reply.answers().unanswered())
                             .arg(reply.answers().expected())
                             .arg(reply.answers().firstUnanswered());
        return result;
    }
    for (UpdateEntry *entry : reply.takeEntries())
        result.entries.emplace_back(entry);
    result.outcome = Outcome::Received;
    return result;
}

UpdateQueryClient::Reply UpdateQueryClient::delivered(const QString &reason) const
{
    Reply result;
    if (m_serverTrust.isPlain()) {
        result.outcome = Outcome::ExchangeFailed;
        return result;
    }
    result.outcome = Outcome::AnswerRefused;
    result.refusal = reason;
    return result;
}

UpdateQueryClient::Reply UpdateQueryClient::handshake(const std::function<int()> &wait)
{
    Reply result;
    QSslConfiguration configuration = m_socket.sslConfiguration();
    if (const std::optional<QList<QSslCertificate>> authorities = m_serverTrust.authorities())
        configuration.setCaCertificates(*authorities);
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    m_socket.setSslConfiguration(configuration);
    // After the tunnel is up, so that through a proxy TLS runs inside it; the name verified is
    // the server's, whatever carries the bytes.
    m_socket.startClientEncryption();
    if (!m_socket.waitForEncrypted(wait())) {
        const QList<QSslError> errors = m_socket.sslHandshakeErrors();
        if (errors.isEmpty()) {
            // No certificate to blame: the server does not speak TLS, or the link broke.
            qWarning("The TLS handshake with the update server failed: %s.",
                qPrintable(m_socket.errorString()));
            result.outcome = Outcome::ExchangeFailed;
            return result;
        }
        // The first problem the user can name; an unknown one only when there is no other.
        result.certificateProblem = CertificateProblem::Other;
        for (const QSslError &error : errors) {
            const CertificateProblem problem = problemOf(error.error());
            if (problem != CertificateProblem::Other) {
                result.certificateProblem = problem;
                result.certificateError = error.errorString();
                break;
            }
        }
        if (result.certificateError.isEmpty())
            result.certificateError = errors.constFirst().errorString();
        result.outcome = Outcome::CertificateRefused;
        return result;
    }
    if (!m_serverTrust.pinHolds(m_socket.peerCertificateChain())) {
        result.outcome = Outcome::CertificateRefused;
        result.certificateProblem = CertificateProblem::OtherAuthority;
        result.certificateError = QStringLiteral("the root of its chain does not hold the key of "
                                                 "the pinned authority");
        return result;
    }
    result.outcome = Outcome::Received;
    return result;
}
