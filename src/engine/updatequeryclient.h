#pragma once

#include "answersignature.h"
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
 * its entries are taken only when the server's signature over it and the request's nonce
 * holds (or, where unsigned answers are allowed, it carries none). The connection stays open
 * until the client is destroyed.
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
        /// The reply stopped, closed, overran its bounds or never became a document.
        ExchangeFailed,
        /// The server's certificate did not verify; Reply::certificateError says why.
        CertificateRefused,
        /// The reply came whole but cannot be vouched for (its signature does not hold).
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
        /// Why the answer was refused (AnswerRefused only).
        AnswerSignature::Result answerCheck = AnswerSignature::Result::Verified;
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

    /// Sends request, which carries nonce, to the update server and reads its reply, blocking
    /// until the reply is complete and checked or the exchange failed. Meant to be called once
    /// per client.
    Reply exchange(const QByteArray &request, const QByteArray &nonce);

private:
    /// The failures of a handshake that did not complete, as a reply; Received when it did.
    Reply handshake(const std::function<int()> &wait);

    UpdateServer m_server;
    ServerTrust m_serverTrust;
    int m_networkTimeout;
    int m_queryTimeout;
    AnswerTrust m_trust;
    QSslSocket m_socket;
};
