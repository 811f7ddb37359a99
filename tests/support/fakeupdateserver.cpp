#include "fakeupdateserver.h"

#include "answerbinding.h"
#include "answersigner.h"
#include "packagesignature.h"
#include "replyschema.h"
#include "testsigning.h"
#include "testtls.h"

#include <QDomDocument>
#include <QDomElement>
#include <QHostAddress>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

const QByteArray FakeUpdateServer::NoUpdates
    = "<?xml version=\"1.0\"?><reply><request project=\"orvi\" name=\"core\" "
      "type=\"app\"><latest/></request></reply>";

const QByteArray FakeUpdateServer::ThreeUpdates
    = "<reply>"
      "<request name=\"core\" type=\"app\"><version>7.1</version></request>"
      "<request name=\"gg\" type=\"plugin\"><noSuchUpdate/></request>"
      "<request name=\"gg\" type=\"plugin\"/>"
      "<request name=\"skin\" type=\"data\"/>"
      "</reply>";

namespace {
constexpr qsizetype FloodChunk = 64 * 1024;

// Hands out every connection as a QSslSocket still in plain mode, so that the CONNECT of a
// tunnel can be answered before the handshake.
class SslCapableServer : public QTcpServer
{
protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        if (socket->setSocketDescriptor(descriptor))
            addPendingConnection(socket);
        else
            delete socket;
    }
};

// The request as the updater sent it, once it is whole: from its opening marker to the end of
// its closing one; and its nonce (empty for "<s>").
bool wholeRequest(const QByteArray &received, QByteArray *request, QByteArray *nonce)
{
    static const QRegularExpression marker(QStringLiteral("<s( nonce=\"([^\"]*)\")?>"));
    const QRegularExpressionMatch match = marker.match(QString::fromLatin1(received));
    const qsizetype close = received.lastIndexOf("</s>");
    if (!match.hasMatch() || close < match.capturedEnd())
        return false;
    *nonce = match.captured(2).toLatin1();
    *request = received.mid(match.capturedStart(), close + 4 - match.capturedStart());
    return true;
}

struct Component
{
    QString project;
    QString name;
    QString type;
};

// The inventory's components, decoded as the update server decodes the request.
QList<Component> componentsOf(const QByteArray &request)
{
    const QByteArray bytes = QString::fromUtf8(request).toLatin1();
    QString text = QString::fromUtf8(bytes);
    if (text.toUtf8() != bytes)
        text = QString::fromLatin1(bytes);
    QXmlStreamReader reader(
        text.replace(QRegularExpression(QStringLiteral("^<s[^>]*>")), QStringLiteral("<s>")));
    QList<Component> components;
    while (!reader.atEnd()) {
        if (reader.readNext() == QXmlStreamReader::StartElement
            && reader.name() == QLatin1String("component"))
            components.append({ reader.attributes().value(QLatin1String("project")).toString(),
                reader.attributes().value(QLatin1String("name")).toString(),
                reader.attributes().value(QLatin1String("type")).toString() });
    }
    return components;
}

// Answers as unknown every component of request that document leaves unanswered, but leaveOut.
QByteArray unknownAnswers(
    const QByteArray &document, const QByteArray &request, const QByteArray &leaveOut)
{
    QDomDocument parsed;
    parsed.setContent(document);
    const QDomNodeList answered = parsed.elementsByTagName(QStringLiteral("request"));
    QByteArray answers;
    QXmlStreamWriter writer(&answers);
    for (const Component &component : componentsOf(request)) {
        bool found = component.name == QString::fromUtf8(leaveOut);
        for (int i = 0; !found && i < answered.size(); ++i) {
            const QDomElement element = answered.at(i).toElement();
            found = element.attribute(QStringLiteral("project")) == component.project
                && element.attribute(QStringLiteral("name")) == component.name
                && element.attribute(QStringLiteral("type")) == component.type;
        }
        if (found)
            continue;
        writer.writeStartElement(QStringLiteral("request"));
        writer.writeAttribute(QStringLiteral("project"), component.project);
        writer.writeAttribute(QStringLiteral("name"), component.name);
        writer.writeAttribute(QStringLiteral("type"), component.type);
        writer.writeEmptyElement(QStringLiteral("noSuchComponent"));
        writer.writeEndElement();
    }
    return answers;
}

// What the signature of an answer to request binds it to, as the script's signing says.
QByteArray bindingFor(FakeUpdateServer::Signing signing, QByteArray request, QByteArray nonce)
{
    using Signing = FakeUpdateServer::Signing;
    const bool asked = request.contains(QByteArray("<") + ReplySchema::answerForm);
    if (signing == Signing::ForAnotherRequest) {
        request.replace(nonce, QByteArray(nonce).fill('0'));
        nonce.fill('0');
    }
    if (signing == Signing::ForAnotherInventory)
        request.replace("version=\"", "version=\"99");
    if (!asked || signing == Signing::NonceOnly)
        return AnswerBinding::forNonce(nonce);
    return AnswerBinding::forRequest(request);
}

// The script's document signed by signer for request, cut where the script cuts it.
FakeUpdateServer::Script signedScript(const FakeUpdateServer::Script &script,
    const AnswerSigner &signer, const QByteArray &request, const QByteArray &nonce)
{
    using Signing = FakeUpdateServer::Signing;
    const QByteArray document = script.pieces.join();
    const qsizetype end = document.lastIndexOf("</");
    QByteArray answer = document.left(end) + unknownAnswers(document, request, script.leaveOut)
        + signer.serverKeyElement();
    signer.appendSignature(&answer, bindingFor(script.signing, request, nonce));
    if (script.signing == Signing::Altered) {
        // The first letter of the first name: the document stays well-formed.
        const qsizetype name = answer.indexOf(" name=\"") + 7;
        answer[name] = char(answer.at(name) ^ 1);
    }
    const qsizetype inserted = answer.size() - end;
    answer += document.mid(end) + script.trailing;
    FakeUpdateServer::Script result = script;
    result.pieces.clear();
    for (qsizetype from = 0, to = 0, i = 0; i < script.pieces.size(); from = to, ++i) {
        to += script.pieces.at(i).size()
            + (to <= end && to + script.pieces.at(i).size() > end ? inserted : 0);
        if (i == script.pieces.size() - 1)
            to = answer.size();
        result.pieces << answer.mid(from, to - from);
    }
    return result;
}
} // namespace

FakeUpdateServer::FakeUpdateServer()
    : m_certificate(QStringLiteral("server"))
    , m_plain(PackageSignature::unsignedPackagesAllowed())
    , m_server(new SslCapableServer)
{
    m_server->moveToThread(&m_thread);
    m_thread.start();
    QMetaObject::invokeMethod(
        m_server.get(),
        [this] {
            QObject::connect(m_server.get(), &QTcpServer::newConnection, m_server.get(), [this] {
                while (QTcpSocket *socket = m_server->nextPendingConnection())
                    serve(static_cast<QSslSocket *>(socket));
            });
            if (m_plain || !TestTls::underWine()) {
                if (m_server->listen(QHostAddress::LocalHost, 0))
                    m_port = m_server->serverPort();
                return;
            }
            for (const TestTls::Front &front : TestTls::fronts()) {
                if (m_server->listen(QHostAddress::LocalHost, front.backend)) {
                    m_front = front;
                    m_port = front.backend;
                    return;
                }
            }
            qWarning("Under Wine a test server speaks TLS only behind a free front of "
                     "ORVI_TEST_TLS_FRONT (cmake/wine-run.sh.in)");
        },
        Qt::BlockingQueuedConnection);
    setSigner(TestSigning::keyFile(QStringLiteral("server"), ".key"),
        TestSigning::delegation(QDateTime::currentDateTimeUtc().addDays(1)));
}

quint16 FakeUpdateServer::port() const
{
    QMutexLocker locker(&m_mutex);
    return m_front.backend == 0 || m_plain ? m_port : m_front.ports.value(m_certificate);
}

FakeUpdateServer::~FakeUpdateServer()
{
    m_server.reset();
    m_thread.quit();
    m_thread.wait();
}

void FakeUpdateServer::setScript(const Script &script)
{
    QMutexLocker locker(&m_mutex);
    m_script = script;
}

void FakeUpdateServer::setCertificate(const QString &name)
{
    QMutexLocker locker(&m_mutex);
    m_certificate = name;
}

void FakeUpdateServer::setPlain(bool plain)
{
    QMutexLocker locker(&m_mutex);
    m_plain = plain;
}

QByteArray FakeUpdateServer::received() const
{
    QMutexLocker locker(&m_mutex);
    return m_received;
}

QList<QByteArray> FakeUpdateServer::tunnelRequests() const
{
    QMutexLocker locker(&m_mutex);
    return m_tunnelRequests;
}

bool FakeUpdateServer::setSigner(const QString &secretKeyPath, const QByteArray &delegation)
{
    auto signer = std::make_shared<AnswerSigner>();
    QString errorText;
    if (!signer->load(secretKeyPath, QByteArray(), delegation, &errorText)) {
        qWarning("cannot sign answers: %s", qPrintable(errorText));
        return false;
    }
    QMutexLocker locker(&m_mutex);
    m_signer = std::move(signer);
    return true;
}

FakeUpdateServer::Script FakeUpdateServer::script() const
{
    QMutexLocker locker(&m_mutex);
    return m_script;
}

void FakeUpdateServer::record(const QByteArray &bytes)
{
    QMutexLocker locker(&m_mutex);
    m_received += bytes;
}

void FakeUpdateServer::encrypt(QSslSocket *socket, const QString &certificate)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(TestTls::certificates(certificate).value(0));
    configuration.setPrivateKey(TestTls::key(certificate));
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket->setSslConfiguration(configuration);
    QObject::connect(socket, &QSslSocket::encrypted, socket, [this] { ++m_handshakes; });
    socket->startServerEncryption();
}

void FakeUpdateServer::serve(QSslSocket *socket)
{
    ++m_connections;
    if (m_front.backend == 0) {
        serveConnection(socket, QByteArray(), false);
        return;
    }
    // A connection from the front opens with "PROXY TCP4 ...\r\n"; any other is a client's own.
    auto head = std::make_shared<QByteArray>();
    auto reading = std::make_shared<QMetaObject::Connection>();
    *reading = QObject::connect(socket, &QTcpSocket::readyRead, socket, [=] {
        head->append(socket->readAll());
        static const QByteArray Marker = "PROXY ";
        if (!Marker.startsWith(head->left(Marker.size()))) {
            QObject::disconnect(*reading);
            serveConnection(socket, *head, false);
            return;
        }
        const qsizetype end = head->indexOf("\r\n");
        if (end < 0)
            return;
        QObject::disconnect(*reading);
        ++m_handshakes;
        serveConnection(socket, head->mid(end + 2), true);
    });
}

void FakeUpdateServer::serveConnection(QSslSocket *socket, const QByteArray &initial, bool fronted)
{
    const auto current = std::make_shared<const Script>(script());
    std::shared_ptr<const AnswerSigner> answerSigner;
    QString certificate;
    bool plain = false;
    {
        QMutexLocker locker(&m_mutex);
        answerSigner = m_signer;
        certificate = m_certificate;
        plain = m_plain;
    }
    const bool signing = current->signing != Signing::Unsigned && answerSigner
        && current->ending != Ending::Flood && QDomDocument().setContent(current->pieces.join());
    // What the client sent after any CONNECT: a signed answer waits for the whole request.
    auto request = std::make_shared<QByteArray>();
    auto started = std::make_shared<bool>(false);
    const auto take = [=](const QByteArray &bytes) {
        record(bytes);
        request->append(bytes);
        QByteArray whole;
        QByteArray nonce;
        if (*started || (signing && !wholeRequest(*request, &whole, &nonce)))
            return;
        *started = true;
        const auto answer = signing
            ? std::make_shared<const Script>(signedScript(*current, *answerSigner, whole, nonce))
            : current;
        QTimer::singleShot(current->delayMs, socket, [=] { play(socket, answer, 0); });
    };
    // Behind the front, the CONNECT came on the connection to the proxy (splice()).
    if (current->tunnel == Tunnel::None || fronted) {
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [=] { take(socket->readAll()); });
        if (!plain && !fronted)
            encrypt(socket, certificate);
        take(initial);
        return;
    }
    // The CONNECT request comes first; what follows it is the tunnelled exchange.
    auto header = std::make_shared<QByteArray>(initial);
    auto open = std::make_shared<bool>(false);
    const auto readTunnel = [=] {
        if (*open) {
            take(socket->readAll());
            return;
        }
        header->append(socket->readAll());
        const qsizetype end = header->indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QByteArray rest = header->mid(end + 4);
        {
            QMutexLocker locker(&m_mutex);
            m_tunnelRequests.append(header->left(header->indexOf("\r\n")));
        }
        *open = true;
        if (current->tunnel == Tunnel::Refuse) {
            socket->write("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
            socket->disconnectFromHost();
            return;
        }
        socket->write("HTTP/1.1 200 Connection established\r\n\r\n");
        if (!plain && m_front.backend != 0) {
            QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
            splice(socket, m_front.ports.value(certificate), rest);
            return;
        }
        // The client starts its handshake only after this answer: the tunnel carries TLS.
        if (!plain)
            encrypt(socket, certificate);
        take(rest);
    };
    QObject::connect(socket, &QTcpSocket::readyRead, socket, readTunnel);
    if (!header->isEmpty())
        readTunnel();
}

void FakeUpdateServer::splice(QSslSocket *socket, quint16 port, const QByteArray &rest)
{
    // As a real proxy does: bytes pass both ways unread, and an end on one side ends the other.
    auto *front = new QTcpSocket(socket);
    QObject::connect(
        front, &QTcpSocket::readyRead, socket, [=] { socket->write(front->readAll()); });
    QObject::connect(
        socket, &QTcpSocket::readyRead, front, [=] { front->write(socket->readAll()); });
    QObject::connect(
        front, &QTcpSocket::disconnected, socket, [=] { socket->disconnectFromHost(); });
    QObject::connect(
        socket, &QTcpSocket::disconnected, front, [=] { front->disconnectFromHost(); });
    front->connectToHost(QHostAddress::LocalHost, port);
    front->write(rest + socket->readAll());
}

void FakeUpdateServer::play(
    QSslSocket *socket, const std::shared_ptr<const Script> &script, int piece)
{
    if (piece < script->pieces.size()) {
        socket->write(script->pieces.at(piece));
        socket->flush();
        QTimer::singleShot(script->gapMs, socket, [=] { play(socket, script, piece + 1); });
        return;
    }
    switch (script->ending) {
    case Ending::StayOpen:
        break;
    case Ending::Close:
        socket->disconnectFromHost();
        break;
    case Ending::Flood: {
        const qint64 limit = script->floodLimit;
        const QByteArray chunk = script->floodUnit.repeated(
            qMax<qsizetype>(1, FloodChunk / qMax<qsizetype>(1, script->floodUnit.size())));
        QObject::connect(
            socket, &QTcpSocket::bytesWritten, socket, [=] { pumpFlood(socket, chunk, limit); });
        QObject::connect(socket, &QSslSocket::encryptedBytesWritten, socket,
            [=] { pumpFlood(socket, chunk, limit); });
        // A document that is opened and never closed makes the client read on.
        socket->write("<reply>");
        pumpFlood(socket, chunk, limit);
        break;
    }
    }
}

void FakeUpdateServer::pumpFlood(QSslSocket *socket, const QByteArray &chunk, qint64 limit)
{
    // Only a little is queued at a time, so a client that stops reading stops the flood (under
    // TLS, bytes wait encrypted too).
    while (socket->state() == QAbstractSocket::ConnectedState && m_flooded < limit
        && socket->bytesToWrite() + socket->encryptedBytesToWrite() < FloodChunk) {
        socket->write(chunk);
        m_flooded += chunk.size();
    }
}
