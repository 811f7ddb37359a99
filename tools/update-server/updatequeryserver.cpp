#include "updatequeryserver.h"

#include "serverlog.h"
#include "updatequeryconnection.h"

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// As deep as Linux lets a listen queue be by default (net.core.somaxconn): a crowd that
// connects at once waits there instead of having its SYNs dropped and resent a second later.
constexpr int ListenBacklog = 4096;
// Out of descriptors, accept fails until connections end; trying again soon is enough.
constexpr int AcceptRetryDelay = 100;
constexpr int EventsPerTurn = 256;

QString peerOf(int descriptor)
{
    sockaddr_storage address = {};
    socklen_t length = sizeof address;
    if (::getpeername(descriptor, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return QStringLiteral("(unknown peer)");
    const QHostAddress host(reinterpret_cast<const sockaddr *>(&address));
    const quint16 port = address.ss_family == AF_INET6
        ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port)
        : ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
    return QStringLiteral("%1:%2").arg(host.toString()).arg(port);
}

} // namespace

UpdateQueryServer::UpdateQueryServer(QString catalogueFolder, QString baseUrl, QObject *parent)
    : QTcpServer(parent)
    , m_catalogue(std::move(catalogueFolder))
    , m_replyBuilder(&m_catalogue, std::move(baseUrl))
    , m_epoll(::epoll_create1(EPOLL_CLOEXEC))
{
    setListenBacklogSize(ListenBacklog);
    connect(this, &QTcpServer::acceptError, this, &UpdateQueryServer::resumeAfterAcceptError);
    if (m_epoll >= 0) {
        m_epollNotifier = std::make_unique<QSocketNotifier>(m_epoll, QSocketNotifier::Read);
        connect(m_epollNotifier.get(), &QSocketNotifier::activated, this,
            &UpdateQueryServer::handleReadyConnections);
    }
    m_clock.start();
    connect(&m_sweepTimer, &QTimer::timeout, this, &UpdateQueryServer::sweep);
}

UpdateQueryServer::~UpdateQueryServer()
{
    m_connections.clear();
    m_epollNotifier.reset();
    if (m_epoll >= 0)
        ::close(m_epoll);
}

bool UpdateQueryServer::listen(const QHostAddress &address, quint16 port, QString *errorText)
{
    if (m_epoll >= 0 && QTcpServer::listen(address, port))
        return true;
    *errorText
        = QCoreApplication::translate("translation", "Cannot listen on update port %1: %2", "nc")
              .arg(port)
              .arg(m_epoll < 0 ? QString::fromLocal8Bit(std::strerror(errno)) : errorString());
    return false;
}

void UpdateQueryServer::close()
{
    QTcpServer::close();
    ServerLog::write(QStringLiteral("connections: %1 accepted, %2 refused over the limit of %3")
                         .arg(m_acceptedConnections)
                         .arg(m_refusedConnections)
                         .arg(m_maximumConnections));
}

void UpdateQueryServer::incomingConnection(qintptr descriptor)
{
    const int socket = int(descriptor);
    if (m_connections.size() >= size_t(m_maximumConnections)) {
        ++m_refusedConnections;
        ServerLog::write(QStringLiteral("refused %1: %2 connections open")
                             .arg(peerOf(socket))
                             .arg(m_connections.size()));
        ::close(socket);
        return;
    }
    ++m_acceptedConnections;
    ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) | O_NONBLOCK);
    auto connection = std::make_unique<UpdateQueryConnection>(socket, peerOf(socket),
        &m_replyBuilder,
        UpdateQueryConnection::Limits { m_idleTimeout, m_requestDeadline, m_maximumRequestSize },
        m_clock.elapsed());
    // The request often comes with the connection itself.
    if (!connection->handleReady(m_clock.elapsed()))
        return;
    watch(connection.get(), true);
    m_connections.emplace(socket, std::move(connection));
    if (!m_sweepTimer.isActive()) {
        // A tenth of the shorter limit: a connection goes at most that much after its time.
        m_sweepTimer.start(std::clamp(std::min(m_idleTimeout, m_requestDeadline) / 10, 10, 1000));
    }
}

void UpdateQueryServer::watch(UpdateQueryConnection *connection, bool add)
{
    epoll_event event = {};
    event.events = connection->isWriting() ? EPOLLOUT : EPOLLIN | EPOLLRDHUP;
    event.data.fd = connection->descriptor();
    ::epoll_ctl(m_epoll, add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, connection->descriptor(), &event);
}

void UpdateQueryServer::remove(int descriptor)
{
    // The connection has closed its descriptor, which took it out of the epoll set.
    m_connections.erase(descriptor);
    if (m_connections.empty())
        m_sweepTimer.stop();
}

void UpdateQueryServer::handleReadyConnections()
{
    epoll_event events[EventsPerTurn];
    int ready = 0;
    do {
        ready = ::epoll_wait(m_epoll, events, EventsPerTurn, 0);
        const qint64 now = m_clock.elapsed();
        for (int i = 0; i < ready; ++i) {
            const auto found = m_connections.find(events[i].data.fd);
            if (found == m_connections.end())
                continue;
            UpdateQueryConnection *connection = found->second.get();
            const bool wasWriting = connection->isWriting();
            if (!connection->handleReady(now))
                remove(events[i].data.fd);
            else if (connection->isWriting() != wasWriting)
                watch(connection, false);
        }
    } while (ready == EventsPerTurn);
}

void UpdateQueryServer::sweep()
{
    const qint64 now = m_clock.elapsed();
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        if (it->second->checkTime(now))
            ++it;
        else
            it = m_connections.erase(it);
    }
    if (m_connections.empty())
        m_sweepTimer.stop();
}

void UpdateQueryServer::resumeAfterAcceptError(QAbstractSocket::SocketError error)
{
    // QTcpServer stops accepting after an error that is not temporary, e.g. out of descriptors.
    ServerLog::write(QStringLiteral("cannot accept (error %1, %2 connections open); trying "
                                    "again in %3 ms")
                         .arg(int(error))
                         .arg(m_connections.size())
                         .arg(AcceptRetryDelay));
    QTimer::singleShot(AcceptRetryDelay, this, &QTcpServer::resumeAccepting);
}
