#pragma once

#include "testtls.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QThread>

#include <atomic>
#include <memory>

class AnswerSigner;
class QSslSocket;
class QTcpServer;

/*
 * An update server for tests. It listens on 127.0.0.1 on a free port and serves every
 * connection from its own thread, so it keeps answering while the test's thread is blocked
 * in the update query. Each connection gets the current script: after a delay, the reply
 * pieces with a gap between them, then the connection stays open, is closed, or is flooded
 * with bytes that never form a document. Everything received is recorded. A script whose
 * pieces form a whole document is signed as the update server signs its answers, over the
 * whole request (which it waits for) where the request asks for that, else over its nonce,
 * and answers each component of the inventory that the document does not answer as unknown,
 * as the update server does. It speaks TLS (inside the tunnel where it acts as
 * the proxy too) with a certificate of tests/keys/tls, "server" unless a test picks another;
 * plain TCP only where the updater is built to query that way. Under Wine, where it cannot
 * speak TLS itself, it listens plain behind a TLS front on the Linux side (TestTls::fronts()),
 * which opens each connection with the PROXY protocol's line; as the proxy it then carries the
 * tunnel to the front.
 */
class FakeUpdateServer
{
public:
    /// A reply that offers nothing: its one component is at its latest version.
    static const QByteArray NoUpdates;
    /// A reply that offers three updates ("core", "gg", "skin") among requests to skip.
    static const QByteArray ThreeUpdates;
    enum class Ending { StayOpen, Close, Flood };
    /// Acting also as an HTTP proxy: the connection must open with CONNECT, which is then
    /// accepted (and the script played through the tunnel) or refused with 403.
    enum class Tunnel { None, Accept, Refuse };
    /// How a whole document is signed: for the request, not at all, for another request (a
    /// replay), for the request and then altered in a byte, for the request's nonce with
    /// another inventory (relayed by a man in the middle who raised every version), or for the
    /// nonce alone (the form of servers before answers bound to the request).
    enum class Signing {
        ForRequest,
        Unsigned,
        ForAnotherRequest,
        Altered,
        ForAnotherInventory,
        NonceOnly
    };

    struct Script
    {
        int delayMs = 0;
        QList<QByteArray> pieces;
        int gapMs = 0;
        Ending ending = Ending::StayOpen;
        /// The flood stops by itself after this many bytes.
        qint64 floodLimit = 256 * 1024 * 1024;
        /// What the flood repeats after an opening "<reply>".
        QByteArray floodUnit = "x";
        Tunnel tunnel = Tunnel::None;
        Signing signing = Signing::ForRequest;
        /// The name of an inventory component left unanswered by a signed answer.
        QByteArray leaveOut = QByteArray();
        /// Bytes sent right after a signed answer, in its last piece.
        QByteArray trailing = QByteArray();
    };

    FakeUpdateServer();
    ~FakeUpdateServer();

    /// The port a client connects to: the one listened on, or behind a TLS front the front's
    /// port for the current certificate (the one listened on while plain); 0 when listening
    /// failed.
    quint16 port() const;
    /// The port listened on, which takes the CONNECT requests when it acts as the proxy.
    quint16 proxyPort() const { return m_port; }

    void setScript(const Script &script);
    /// Answers reply as soon as a connection is accepted.
    void answer(const QByteArray &reply)
    {
        setScript(Script { 0, { reply }, 0, Ending::StayOpen });
    }
    /// Answers each piece gapMs after the previous one.
    void answerInPieces(const QList<QByteArray> &pieces, int gapMs)
    {
        setScript(Script { 0, pieces, gapMs, Ending::StayOpen });
    }
    /// Answers reply after delayMs.
    void answerAfter(int delayMs, const QByteArray &reply)
    {
        setScript(Script { delayMs, { reply }, 0, Ending::StayOpen });
    }
    /// Accepts the connection and keeps it open without a word.
    void neverAnswer() { setScript(Script()); }
    /// Sends pieces (possibly none), then closes the connection.
    void closeAfter(const QList<QByteArray> &pieces)
    {
        setScript(Script { 0, pieces, 0, Ending::Close });
    }
    /// Sends "<reply>" and then unit over and over, which never forms a document, until the
    /// client goes away or limit is reached.
    void flood(qint64 limit, const QByteArray &unit)
    {
        Script script;
        script.ending = Ending::Flood;
        script.floodLimit = limit;
        script.floodUnit = unit;
        setScript(script);
    }

    /// Signs with the server's secret key at secretKeyPath and the delegation statement from
    /// now on (at first: tests/keys/server.key, delegated by the test key for a day); false
    /// when the key cannot be read.
    bool setSigner(const QString &secretKeyPath, const QByteArray &delegation);

    /// Presents the server certificate name of tests/keys/tls from the next connection on.
    void setCertificate(const QString &name);
    /// Speaks plain TCP from the next connection on (or TLS again).
    void setPlain(bool plain);

    /// Everything received on all connections so far (decrypted), CONNECT requests excepted.
    QByteArray received() const;
    /// The request lines of the CONNECT requests received so far.
    QList<QByteArray> tunnelRequests() const;
    /// The number of connections accepted so far.
    int connections() const { return m_connections; }
    /// The number of TLS handshakes completed so far (behind a front: the connections it
    /// passed on, which it does after the handshake).
    int handshakes() const { return m_handshakes; }
    /// The bytes of flood handed to the system so far.
    qint64 flooded() const { return m_flooded; }

private:
    struct LaterDeleter
    {
        void operator()(QObject *object) const { object->deleteLater(); }
    };

    Script script() const;
    void record(const QByteArray &bytes);
    // These run in the server's thread.
    void serve(QSslSocket *socket);
    void serveConnection(QSslSocket *socket, const QByteArray &initial, bool fronted);
    void splice(QSslSocket *socket, quint16 port, const QByteArray &rest);
    void encrypt(QSslSocket *socket, const QString &certificate);
    void play(QSslSocket *socket, const std::shared_ptr<const Script> &script, int piece);
    void pumpFlood(QSslSocket *socket, const QByteArray &chunk, qint64 limit);

    mutable QMutex m_mutex;
    Script m_script;
    std::shared_ptr<const AnswerSigner> m_signer;
    QByteArray m_received;
    QList<QByteArray> m_tunnelRequests;
    QString m_certificate;
    bool m_plain;
    std::atomic<int> m_connections { 0 };
    std::atomic<int> m_handshakes { 0 };
    std::atomic<qint64> m_flooded { 0 };
    quint16 m_port = 0;
    TestTls::Front m_front;

    QThread m_thread;
    // Lives in m_thread and is deleted there; the connections are its children.
    std::unique_ptr<QTcpServer, LaterDeleter> m_server;
};
