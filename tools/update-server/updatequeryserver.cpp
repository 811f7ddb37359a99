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
// Bounds on one turn of the event loop, so that a steady stream of ready sockets or new
// connections never keeps the sweep, and with it the time limits, from running.
constexpr int BatchesPerTurn = 4;
constexpr int AcceptsPerTurn = 256;
constexpr int RefusalLogInterval = 1000;

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
    if (m_epoll >= 0) {
        m_epollNotifier = std::make_unique<QSocketNotifier>(m_epoll, QSocketNotifier::Read);
        connect(m_epollNotifier.get(), &QSocketNotifier::activated, this,
            &UpdateQueryServer::handleReadyConnections);
    }
    m_clock.start();
    connect(&m_sweepTimer, &QTimer::timeout, this, &UpdateQueryServer::sweep);
    m_refusalLogTimer.setSingleShot(true);
    connect(&m_refusalLogTimer, &QTimer::timeout, this, [this] {
        if (logUnloggedRefusals())
            m_refusalLogTimer.start(RefusalLogInterval);
    });
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
    QString reason;
    if (m_epoll < 0) {
        reason = QString::fromLocal8Bit(std::strerror(errno));
    } else if (!QTcpServer::listen(address, port)) {
        reason = errorString();
    } else {
        // QTcpServer binds and listens; accepting is done here, from the epoll set.
        pauseAccepting();
        m_listener = int(socketDescriptor());
        if (watchListener())
            return true;
        reason = QString::fromLocal8Bit(std::strerror(errno));
        QTcpServer::close();
        m_listener = -1;
    }
    *errorText
        = QCoreApplication::translate("translation", "Cannot listen on update port %1: %2", "nc")
              .arg(port)
              .arg(reason);
    return false;
}

void UpdateQueryServer::close()
{
    if (m_listening)
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_listener, nullptr);
    m_listening = false;
    m_listener = -1;
    QTcpServer::close();
    logUnloggedRefusals();
    const size_t open = m_connections.size();
    m_connections.clear();
    m_sweepTimer.stop();
    ServerLog::write(QStringLiteral("connections: %1 accepted, %2 refused over the limit of %3, "
                                    "%4 still open dropped at the stop")
                         .arg(m_acceptedConnections)
                         .arg(m_refusedConnections)
                         .arg(m_maximumConnections)
                         .arg(open));
}

void UpdateQueryServer::acceptConnections()
{
    for (int i = 0; i < AcceptsPerTurn && m_listening; ++i) {
        const int socket = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (socket >= 0) {
            if (m_acceptFailing) {
                m_acceptFailing = false;
                ServerLog::write(QStringLiteral("accepting again"));
            }
            takeConnection(socket);
            continue;
        }
        switch (errno) {
        case EAGAIN:
#if EAGAIN != EWOULDBLOCK
        case EWOULDBLOCK:
#endif
            return;
        // The connection went before it was taken, or a network error of its own (accept(2)
        // asks for these to be treated as a retry).
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            continue;
        default:
            pauseListening(errno);
            return;
        }
    }
}

void UpdateQueryServer::pauseListening(int error)
{
    // Out of descriptors or memory: the waiting connections stay queued until connections
    // end; listening again at once would only spin.
    if (!m_acceptFailing) {
        m_acceptFailing = true;
        ServerLog::write(QStringLiteral("cannot accept: %1 (%2 connections open); trying again "
                                        "every %3 ms")
                             .arg(QString::fromLocal8Bit(std::strerror(error)))
                             .arg(m_connections.size())
                             .arg(AcceptRetryDelay));
    }
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_listener, nullptr);
    m_listening = false;
    QTimer::singleShot(AcceptRetryDelay, this, [this] {
        if (!m_listening && isListening() && !watchListener())
            pauseListening(errno);
    });
}

bool UpdateQueryServer::watchListener()
{
    epoll_event event = {};
    event.events = EPOLLIN;
    event.data.fd = m_listener;
    m_listening = ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listener, &event) == 0;
    return m_listening;
}

bool UpdateQueryServer::logUnloggedRefusals()
{
    if (m_refusalsUnlogged == 0)
        return false;
    ServerLog::write(QStringLiteral("refused %1 more connections over the limit of %2")
                         .arg(m_refusalsUnlogged)
                         .arg(m_maximumConnections));
    m_refusalsUnlogged = 0;
    return true;
}

void UpdateQueryServer::refuse(int socket)
{
    ++m_refusedConnections;
    if (m_refusalLogTimer.isActive()) {
        ++m_refusalsUnlogged;
    } else {
        ServerLog::write(QStringLiteral("refused %1: %2 connections open")
                             .arg(peerOf(socket))
                             .arg(m_connections.size()));
        m_refusalLogTimer.start(RefusalLogInterval);
    }
    ::close(socket);
}

void UpdateQueryServer::takeConnection(int socket)
{
    if (m_connections.size() >= size_t(m_maximumConnections)) {
        refuse(socket);
        return;
    }
    ++m_acceptedConnections;
    const qint64 now = m_clock.elapsed();
    auto connection = std::make_unique<UpdateQueryConnection>(socket, peerOf(socket),
        &m_replyBuilder,
        UpdateQueryConnection::Limits { m_idleTimeout, m_requestDeadline, m_maximumRequestSize },
        now);
    // The request often comes with the connection itself.
    if (!connection->handleReady(now) || !watch(connection.get(), true))
        return;
    m_connections.emplace(socket, std::move(connection));
    if (!m_sweepTimer.isActive()) {
        // A tenth of the shorter limit: a connection goes at most that much after its time.
        m_sweepTimer.start(std::clamp(std::min(m_idleTimeout, m_requestDeadline) / 10, 10, 1000));
    }
}

bool UpdateQueryServer::watch(UpdateQueryConnection *connection, bool add)
{
    epoll_event event = {};
    event.events = connection->isWriting() ? EPOLLOUT : EPOLLIN | EPOLLRDHUP;
    event.data.fd = connection->descriptor();
    if (::epoll_ctl(m_epoll, add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, connection->descriptor(), &event)
        == 0)
        return true;
    // Unwatched, it would wait for the sweep with nobody serving it.
    connection->abandon(QStringLiteral("dropped: cannot watch the connection: %1")
                            .arg(QString::fromLocal8Bit(std::strerror(errno))));
    return false;
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
    int batches = 0;
    do {
        ready = ::epoll_wait(m_epoll, events, EventsPerTurn, 0);
        const qint64 now = m_clock.elapsed();
        bool acceptReady = false;
        for (int i = 0; i < ready; ++i) {
            const int descriptor = events[i].data.fd;
            if (descriptor == m_listener) {
                // After the batch, so that none of its events is taken for a new connection
                // given the number of one closed in it.
                acceptReady = true;
                continue;
            }
            const auto found = m_connections.find(descriptor);
            if (found == m_connections.end())
                continue;
            UpdateQueryConnection *connection = found->second.get();
            const bool wasWriting = connection->isWriting();
            if (!connection->handleReady(now)
                || (connection->isWriting() != wasWriting && !watch(connection, false)))
                remove(descriptor);
        }
        if (acceptReady)
            acceptConnections();
    } while (ready == EventsPerTurn && ++batches < BatchesPerTurn);
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
