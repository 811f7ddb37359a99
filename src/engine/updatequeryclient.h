#pragma once

#include "answersignature.h"
#include "componentanswers.h"
#include "packagesignature.h"
#include "servertrust.h"
#include "updateserver.h"

#include <QByteArray>
#include <QSslSocket>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class UpdateEntry;

/*
 * The exchange of the update query with the update server: one connection (through the
 * proxy's CONNECT tunnel where one is set), TLS verified as the server trust says (inside the
 * tunnel; plain TCP only where the trust is plain), the request written whole, and the reply read
 * until it is a complete document, within the network limits and the bounds of a reply;
 * its entries are taken only when the server's signature over it and the request holds and it
 * answers every component of the inventory (or, where unsigned answers are allowed, it carries
 * no signature). Over TLS, a reply that the server's connection delivered whole but that
 * fails a check (not a document, past the bounds, bytes after it) is refused, as the network
 * can only cut or delay what TLS carries; only a reply cut short or late is a broken exchange.
 * The connection stays open until the client is destroyed.
 */
class UpdateQueryClient
{
public:
    /// How an exchange ended.
    enum class Outcome {
        /// The reply is complete; its entries are in Reply::entries.
        Received,
        /// No connection to the update server.
        ConnectFailed,
        /// The proxy did not connect the tunnel; Reply::proxy and Reply::socketError say why.
        ProxyFailed,
        /// The reply stopped or closed before it was complete (over plain TCP also: overran its
        /// bounds or can never become a document).
        ExchangeFailed,
        /// The server's certificate did not verify; Reply::certificateError says why.
        CertificateRefused,
        /// The reply came but cannot be vouched for: its signature does not hold, it leaves a
        /// component out, or (over TLS) it is no document, overruns its bounds or has bytes
        /// after it. Reply::refusal says why.
        AnswerRefused,
    };

    /// Why a server's certificate was refused.
    enum class CertificateProblem {
        /// It does not come from an authority the updater trusts (or not from the pinned one).
        OtherAuthority,
        /// It has expired, or is not valid yet.
        Expired,
        /// It was made for another name than the server's.
        OtherName,
        /// Anything else; Reply::certificateError says what.
        Other,
    };

    struct Reply
    {
        Outcome outcome = Outcome::ExchangeFailed;
        /// The proxy as "host:port" (ProxyFailed only).
        QString proxy;
        /// The socket's description of the failure (ProxyFailed only).
        QString socketError;
        /// Why the server's certificate was refused (CertificateRefused only).
        CertificateProblem certificateProblem = CertificateProblem::Other;
        /// The TLS backend's description of it (CertificateRefused only).
        QString certificateError;
        /// The signature's check (AnswerRefused for a signature that does not hold only).
        AnswerSignature::Result answerCheck = AnswerSignature::Result::Verified;
        /// Why the answer was refused, in English for a diagnostic line (AnswerRefused only).
        QString refusal;
        /// The catalogue of a complete reply, in reply order.
        std::vector<std::unique_ptr<UpdateEntry>> entries;
    };

    /// Whom an answer must come from.
    struct AnswerTrust
    {
        /// The package keys that may delegate the server's key.
        QList<PackageSignature::PublicKey> packageKeys;
        /// Whether an answer without a signature is taken.
        bool unsignedAllowed;

        /// The keys and the choice built into this updater.
        static AnswerTrust builtIn()
        {
            return { PackageSignature::builtInKeys(), PackageSignature::unsignedPackagesAllowed() };
        }
    };

    /// A client of server whose certificate serverTrust verifies; networkTimeoutMs bounds each
    /// wait, queryTimeoutMs the exchange.
    UpdateQueryClient(UpdateServer server, ServerTrust serverTrust, int networkTimeoutMs,
        int queryTimeoutMs, AnswerTrust trust = AnswerTrust::builtIn());
    ~UpdateQueryClient();
    UpdateQueryClient(const UpdateQueryClient &) = delete;
    UpdateQueryClient &operator=(const UpdateQueryClient &) = delete;

    /// Sends request to the update server and reads its reply, which must answer every
    /// component of expected, blocking until the reply is complete and checked or the exchange
    /// failed. Meant to be called once per client.
    Reply exchange(const QByteArray &request, const ComponentAnswers &expected);

private:
    /// The failures of a handshake that did not complete, as a reply; Received when it did.
    Reply handshake(const std::function<int()> &wait);
    /// A reply the server delivered that fails for reason: refused over TLS, where only the
    /// server could have sent it; a broken exchange over plain TCP.
    Reply delivered(const QString &reason) const;

    UpdateServer m_server;
    ServerTrust m_serverTrust;
    int m_networkTimeout;
    int m_queryTimeout;
    AnswerTrust m_trust;
    QSslSocket m_socket;
};
