#include "fakeupdateserver.h"

#include <QHostAddress>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

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
}

FakeUpdateServer::FakeUpdateServer() : m_server(new QTcpServer)
{
    m_server->moveToThread(&m_thread);
    m_thread.start();
    QMetaObject::invokeMethod(
        m_server.get(),
        [this] {
            QObject::connect(m_server.get(), &QTcpServer::newConnection, m_server.get(), [this] {
                while (QTcpSocket *socket = m_server->nextPendingConnection())
                    serve(socket);
            });
            if (m_server->listen(QHostAddress::LocalHost, 0))
                m_port = m_server->serverPort();
        },
        Qt::BlockingQueuedConnection);
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

void FakeUpdateServer::serve(QTcpSocket *socket)
{
    ++m_connections;
    const auto current = std::make_shared<const Script>(script());
    if (current->tunnel == Tunnel::None) {
        QObject::connect(
            socket, &QTcpSocket::readyRead, socket, [this, socket] { record(socket->readAll()); });
        QTimer::singleShot(current->delayMs, socket, [=] { play(socket, current, 0); });
        return;
    }
    // The CONNECT request comes first; what follows it is the tunnelled exchange.
    auto header = std::make_shared<QByteArray>();
    auto open = std::make_shared<bool>(false);
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [=] {
        if (*open) {
            record(socket->readAll());
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
        record(rest);
        QTimer::singleShot(current->delayMs, socket, [=] { play(socket, current, 0); });
    });
}

void FakeUpdateServer::play(
    QTcpSocket *socket, const std::shared_ptr<const Script> &script, int piece)
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
        // A document that is opened and never closed makes the client read on.
        socket->write("<reply>");
        pumpFlood(socket, chunk, limit);
        break;
    }
    }
}

void FakeUpdateServer::pumpFlood(QTcpSocket *socket, const QByteArray &chunk, qint64 limit)
{
    // Only a little is queued at a time, so a client that stops reading stops the flood.
    while (socket->state() == QAbstractSocket::ConnectedState && m_flooded < limit
        && socket->bytesToWrite() < FloodChunk) {
        socket->write(chunk);
        m_flooded += chunk.size();
    }
}
