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
// connections never keeps the sweep, and with it the time limits, from running. The time
// bound also lets the connections not reached in a turn come first in the next: epoll hands
// out ready sockets in turn.
constexpr int BatchesPerTurn = 4;
constexpr int AcceptsPerTurn = 256;
constexpr qint64 TurnTime = 10;
constexpr int RefusalLogInterval = 1000;

QString peerOf(const sockaddr *address)
{
    if (address->sa_family != AF_INET && address->sa_family != AF_INET6)
        return QStringLiteral("(unknown peer)");
    const QHostAddress host(address);
    const quint16 port = address->sa_family == AF_INET6
        ? ntohs(reinterpret_cast<const sockaddr_in6 *>(address)->sin6_port)
        : ntohs(reinterpret_cast<const sockaddr_in *>(address)->sin_port);
    return QStringLiteral("%1:%2").arg(host.toString()).arg(port);
}

} // namespace

UpdateQueryServer::UpdateQueryServer(QString catalogueFolder, QString baseUrl, QObject *parent)
    : QTcpServer(parent)
    , m_catalogue(std::move(catalogueFolder))
    , m_replyBuilder(&m_catalogue, std::move(baseUrl))
    , m_epoll(::epoll_create1(EPOLL_CLOEXEC))
{
    m_addresses.setLimit(100);
    setListenBacklogSize(ListenBacklog);
    if (m_epoll >= 0) {
        m_epollNotifier = std::make_unique<QSocketNotifier>(m_epoll, QSocketNotifier::Read);
        connect(m_epollNotifier.get(), &QSocketNotifier::activated, this,
            &UpdateQueryServer::handleReadyConnections);
    }
    m_clock.start();
    connect(&m_sweepTimer, &QTimer::timeout, this, &UpdateQueryServer::sweep);
    connect(&m_answerTimer, &QTimer::timeout, this, &UpdateQueryServer::answerWaiting);
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
    m_waiting.clear();
    m_parked.clear();
    m_answerTurns.clear();
    m_answerTimer.stop();
    m_connections.clear();
    m_sweepTimer.stop();
    ServerLog::write(QStringLiteral("connections: %1 accepted, %2 refused over the limit of %3, "
                                    "%4 over the limit of %5 per address, %6 still open dropped "
                                    "at the stop, %7 idle dropped for new ones at the limit")
                         .arg(m_acceptedConnections)
                         .arg(m_refusedConnections - m_refusedForAddress)
                         .arg(m_maximumConnections)
                         .arg(m_refusedForAddress)
                         .arg(m_addresses.limit())
                         .arg(open)
                         .arg(m_droppedForRoom));
}

void UpdateQueryServer::acceptConnections(qint64 turnStart)
{
    for (int i = 0; i < AcceptsPerTurn && m_listening && m_clock.elapsed() - turnStart < TurnTime;
         ++i) {
        sockaddr_storage address = {};
        socklen_t length = sizeof address;
        const int socket = ::accept4(m_listener, reinterpret_cast<sockaddr *>(&address), &length,
            SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (socket >= 0) {
            if (m_acceptFailing) {
                m_acceptFailing = false;
                ServerLog::write(QStringLiteral("accepting again"));
            }
            takeConnection(socket, reinterpret_cast<const sockaddr *>(&address));
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
    ServerLog::write(
        QStringLiteral("refused %1 more connections over the limits").arg(m_refusalsUnlogged));
    m_refusalsUnlogged = 0;
    return true;
}

void UpdateQueryServer::logRefusal(const QString &peer, const QString &reason)
{
    ++m_refusedConnections;
    if (m_refusalLogTimer.isActive()) {
        ++m_refusalsUnlogged;
    } else {
        ServerLog::write(QStringLiteral("refused %1: %2").arg(peer, reason));
        m_refusalLogTimer.start(RefusalLogInterval);
    }
}

void UpdateQueryServer::refuse(int socket, const QString &peer, const QString &reason)
{
    logRefusal(peer, reason);
    const linger immediately = { 1, 0 };
    ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &immediately, sizeof immediately);
    ::close(socket);
}

void UpdateQueryServer::takeConnection(int socket, const sockaddr *address)
{
    const bool full = m_connections.size() >= size_t(m_maximumConnections);
    if (full && m_idle.size() == 0) {
        refuse(socket, peerOf(address),
            QStringLiteral("%1 connections open").arg(m_connections.size()));
        return;
    }
    const AddressTally::Key key = AddressTally::keyOf(address);
    // Behind a proxy, the client's address counts once the proxy's line names it.
    if (!m_proxyProtocol && !m_addresses.admit(key)) {
        ++m_refusedForAddress;
        refuse(socket, peerOf(address),
            QStringLiteral("%1 connections open from its address").arg(m_addresses.limit()));
        return;
    }
    // Only once the new connection is admitted, so that no other is dropped in vain.
    if (full)
        makeRoom();
    ++m_acceptedConnections;
    if (m_socketBufferSize > 0) {
        ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &m_socketBufferSize, sizeof m_socketBufferSize);
        ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &m_socketBufferSize, sizeof m_socketBufferSize);
    }
    const qint64 now = m_clock.elapsed();
    auto connection = std::make_unique<UpdateQueryConnection>(socket, peerOf(address),
        &m_replyBuilder, &m_budget,
        UpdateQueryConnection::Limits { m_idleTimeout, m_requestDeadline, m_maximumRequestSize },
        now);
    if (m_proxyProtocol)
        connection->expectProxyLine();
    // The request often comes with the connection itself.
    if (!connection->handleReady(now) || !watch(connection.get(), std::nullopt)) {
        if (!m_proxyProtocol)
            m_addresses.release(key);
        return;
    }
    const auto taken
        = m_connections
              .emplace(socket,
                  OpenConnection { std::move(connection), key, !m_proxyProtocol, m_opened++ })
              .first;
    if (!identify(taken))
        return;
    track(taken->second);
    queueIfWaiting(taken->second);
    if (!m_sweepTimer.isActive()) {
        // A tenth of the shorter limit: a connection goes at most that much after its time.
        m_sweepTimer.start(std::clamp(std::min(m_idleTimeout, m_requestDeadline) / 10, 10, 1000));
    }
}

bool UpdateQueryServer::watch(UpdateQueryConnection *connection, std::optional<Wait> before)
{
    using Wait = UpdateQueryConnection::Wait;
    const Wait wait = connection->waitsFor();
    if (before == wait)
        return true;
    epoll_event event = {};
    event.events = wait == Wait::Room ? EPOLLOUT : EPOLLIN | EPOLLRDHUP;
    event.data.fd = connection->descriptor();
    // Out of the set while it waits for memory or its turn: a peer that hangs up meanwhile
    // would otherwise be reported at every turn.
    const auto watched
        = [](std::optional<Wait> wait) { return wait == Wait::Request || wait == Wait::Room; };
    if (!watched(wait) && !watched(before))
        return true;
    const int operation = !watched(wait) ? EPOLL_CTL_DEL
        : watched(before)                ? EPOLL_CTL_MOD
                                         : EPOLL_CTL_ADD;
    if (::epoll_ctl(m_epoll, operation, connection->descriptor(), &event) == 0)
        return true;
    // Unwatched, it would wait for the sweep with nobody serving it.
    connection->abandon(QStringLiteral("dropped: cannot watch the connection: %1")
                            .arg(QString::fromLocal8Bit(std::strerror(errno))));
    return false;
}

UpdateQueryServer::Connections::iterator UpdateQueryServer::remove(Connections::iterator connection)
{
    // The connection has closed its descriptor, which took it out of the epoll set.
    if (connection->second.counted)
        m_addresses.release(connection->second.address);
    if (connection->second.idle)
        m_idle.remove(connection->second.address, connection->second.order);
    const auto next = m_connections.erase(connection);
    if (m_connections.empty())
        m_sweepTimer.stop();
    return next;
}

bool UpdateQueryServer::identify(Connections::iterator connection)
{
    OpenConnection &open = connection->second;
    if (open.counted || open.connection->awaitsProxyLine())
        return true;
    // "PROXY UNKNOWN": the proxy could not tell, and its own address counts.
    const AddressTally::Key key = open.connection->client().isNull()
        ? open.address
        : AddressTally::keyOf(open.connection->client());
    if (!m_addresses.admit(key)) {
        ++m_refusedForAddress;
        logRefusal(open.connection->peer(),
            QStringLiteral("%1 connections open from its address").arg(m_addresses.limit()));
        remove(connection);
        return false;
    }
    if (open.idle) {
        m_idle.remove(open.address, open.order);
        open.idle = false;
    }
    open.address = key;
    open.counted = true;
    return true;
}

void UpdateQueryServer::track(OpenConnection &open)
{
    const Wait wait = open.connection->waitsFor();
    const bool idle = wait == Wait::Request || wait == Wait::Memory;
    if (idle == open.idle)
        return;
    if (idle)
        m_idle.add(open.address, open.order, open.connection->descriptor());
    else
        m_idle.remove(open.address, open.order);
    open.idle = idle;
}

void UpdateQueryServer::makeRoom()
{
    const auto found = m_connections.find(m_idle.oldestOfLargest());
    if (found == m_connections.end())
        return;
    found->second.connection->abandon(
        QStringLiteral("dropped: the oldest connection waiting for its request from the "
                       "address with the most, for a new one at the limit of %1 connections")
            .arg(m_maximumConnections));
    ++m_droppedForRoom;
    remove(found);
}

void UpdateQueryServer::handleReadyConnections()
{
    epoll_event events[EventsPerTurn];
    int ready = 0;
    int batches = 0;
    const qint64 turnStart = m_clock.elapsed();
    do {
        ready = ::epoll_wait(m_epoll, events, EventsPerTurn, 0);
        qint64 now = m_clock.elapsed();
        bool acceptReady = false;
        // Sockets left unhandled stay ready and are handed out again next turn.
        for (int i = 0; i < ready && now - turnStart < TurnTime; ++i, now = m_clock.elapsed()) {
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
            UpdateQueryConnection *connection = found->second.connection.get();
            const UpdateQueryConnection::Wait before = connection->waitsFor();
            if (!connection->handleReady(now) || !watch(connection, before)) {
                remove(found);
            } else if (identify(found)) {
                track(found->second);
                queueIfWaiting(found->second);
            }
        }
        if (acceptReady)
            acceptConnections(turnStart);
    } while (ready == EventsPerTurn && ++batches < BatchesPerTurn
        && m_clock.elapsed() - turnStart < TurnTime);
    if (!m_answerTurns.isEmpty())
        answerInTurns(turnStart);
    resumeParked();
}

void UpdateQueryServer::queueIfWaiting(OpenConnection &open)
{
    UpdateQueryConnection *connection = open.connection.get();
    if (connection->waitsFor() == Wait::Memory) {
        m_parked.push_back(connection->descriptor());
    } else if (connection->waitsFor() == Wait::Turn) {
        if (connection->isLarge())
            m_waiting.push_back(connection->descriptor());
        else
            m_answerTurns.push(open.address, connection->descriptor());
        if (!m_answerTimer.isActive())
            m_answerTimer.start();
    }
}

void UpdateQueryServer::answerInTurns(qint64 turnStart)
{
    // One round at most, then back to the sockets: a client that has just connected waits
    // for one request of each address ahead of it, not for a turn's worth of a crowd's.
    qint64 now = m_clock.elapsed();
    for (size_t round = m_answerTurns.addressCount(); round > 0; --round) {
        const int descriptor = m_answerTurns.pop();
        const auto found = m_connections.find(descriptor);
        // The descriptor may have gone to another connection since it was queued.
        if (found == m_connections.end() || found->second.connection->waitsFor() != Wait::Turn
            || found->second.connection->isLarge())
            continue;
        UpdateQueryConnection *connection = found->second.connection.get();
        if (!connection->answerNow(now) || !watch(connection, Wait::Turn))
            remove(found);
        now = m_clock.elapsed();
        if (now - turnStart >= TurnTime)
            break;
    }
}

void UpdateQueryServer::resumeParked()
{
    // As many as could each read a piece more; those that find no room then wait again.
    constexpr qsizetype Piece = 64 * 1024;
    for (qsizetype room = m_budget.limit() - m_budget.held(); room >= Piece && !m_parked.empty();) {
        const int descriptor = m_parked.front();
        m_parked.pop_front();
        const auto found = m_connections.find(descriptor);
        // The descriptor may have gone to another connection since it was parked.
        if (found == m_connections.end() || found->second.connection->waitsFor() != Wait::Memory)
            continue;
        found->second.connection->resume();
        if (!watch(found->second.connection.get(), Wait::Memory))
            remove(found);
        room -= Piece;
    }
}

void UpdateQueryServer::answerWaiting()
{
    // At least one, then as many as the turn's time allows: each may take milliseconds, and
    // the small requests that arrive meanwhile are answered in the turns between.
    const qint64 turnStart = m_clock.elapsed();
    answerInTurns(turnStart);
    qint64 now = m_clock.elapsed();
    do {
        if (m_waiting.empty())
            break;
        const int descriptor = m_waiting.front();
        m_waiting.pop_front();
        const auto found = m_connections.find(descriptor);
        // The descriptor may have gone to another connection since it was queued.
        if (found == m_connections.end() || found->second.connection->waitsFor() != Wait::Turn)
            continue;
        UpdateQueryConnection *connection = found->second.connection.get();
        if (!connection->answerNow(now) || !watch(connection, Wait::Turn))
            remove(found);
        now = m_clock.elapsed();
    } while (now - turnStart < TurnTime);
    if (m_waiting.empty() && m_answerTurns.isEmpty())
        m_answerTimer.stop();
    resumeParked();
}

void UpdateQueryServer::sweep()
{
    const qint64 now = m_clock.elapsed();
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        if (it->second.connection->checkTime(now))
            ++it;
        else
            it = remove(it);
    }
    resumeParked();
}
