// The update server beside hostile clients. A load generator on plain non-blocking sockets and
// epoll, one thread, against a catalogue written by "load-bench catalogue":
//
//   hostile-bench flood PORT PID FLOODERS SECONDS short|long [HOLD]
//       FLOODERS clients from 127.0.2.1-100 each send a request of nearly 1 MiB naming only
//       unknown components (short: 10,000 names of 39 bytes; long: 940 names of 1,000 '>',
//       each four times as long escaped), never read a byte (a 4 KiB receive window) and
//       connect again as soon as the server ends the connection, or, with HOLD, as soon as
//       they have held it HOLD seconds after sending the request whole (a rolling flood that
//       makes the server take new requests all the time); beside them one client from
//       127.0.0.2 asks the ordinary query in a closed loop for SECONDS. Prints the ordinary
//       client's latency, the server's peak resident memory and the peak of the kernel's TCP
//       memory.
//   hostile-bench slowloris PORT PID HOLD CLIENTS SECONDS [ADDRESSES]
//       HOLD connections from 127.0.0.1 (or spread over ADDRESSES addresses from 127.0.1.1 on)
//       send the start of a request and then nothing; each one the server closes or refuses
//       is opened again 100 ms later. Beside them CLIENTS ordinary clients from 127.0.0.2 on
//       ask the ordinary query every 20 ms for SECONDS. Prints the share of their queries that
//       were answered.
//   hostile-bench crowd PORT PID CROWD SECONDS
//       CROWD clients from the one address 127.0.3.1 ask the ordinary query in a closed loop,
//       each again as soon as its last one ended, for SECONDS; prints their queries answered.
//       CROWD 0: one ordinary client from 127.0.0.2 asks every 20 ms instead and its latency
//       is printed. The crowd and the ordinary client run as two processes, so that the
//       crowd's events never delay the ordinary client's in the load generator.

#include "benchquery.h"

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace BenchQuery;
using Clock = std::chrono::steady_clock;

constexpr double QueryTimeoutSeconds = 30;
constexpr double ReconnectDelaySeconds = 0.1;
constexpr double QueryIntervalSeconds = 0.02;

double seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

std::string floodRequest(bool longNames)
{
    std::string text = "<s>";
    const std::string start = "<component project=\"orvi\" name=\"";
    const std::string end = "\" type=\"plugin\" version=\"1\"/>";
    const size_t count = longNames ? 940 : 10000;
    for (size_t i = 0; i < count; ++i) {
        std::string name = "retired-" + std::to_string(100000 + i);
        name.resize(longNames ? 1000 : 39, longNames ? '>' : 'x');
        text += start + name + end;
    }
    return text + "</s>";
}

// The kernel's TCP memory in KiB, both ends of every loopback connection.
long tcpMemoryKib()
{
    FILE *file = std::fopen("/proc/net/sockstat", "r");
    if (!file)
        return -1;
    char line[256];
    long pages = -1;
    while (std::fgets(line, sizeof line, file)) {
        if (const char *mem
            = std::strncmp(line, "TCP:", 4) == 0 ? std::strstr(line, " mem ") : nullptr)
            pages = std::atol(mem + 5);
    }
    std::fclose(file);
    return pages < 0 ? -1 : pages * (::sysconf(_SC_PAGESIZE) / 1024);
}

struct Client
{
    // A crowd client asks what an ordinary one asks, in a closed loop.
    enum Role { Ordinary, Flooder, Holder, Crowd };
    Role role = Ordinary;
    uint32_t source = 0;
    int fd = -1;
    bool connected = false;
    size_t sent = 0;
    std::string reply;
    Clock::time_point start;
    Clock::time_point sentAt;
    // When a client without a connection opens its next one.
    Clock::time_point due;
};

class HostileRun
{
public:
    HostileRun(int port, int pid) : m_pid(pid), m_ordinaryRequest(request())
    {
        m_address.sin_family = AF_INET;
        m_address.sin_port = htons(uint16_t(port));
        m_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    }

    /// Adds count clients of role, the i-th from source(i).
    void add(Client::Role role, int count, const std::function<uint32_t(int)> &source);
    /// Runs every client for the given time and prints the figures.
    int run(
        double duration, const std::string &hostileRequest, double queryInterval, double hold = -1);

private:
    void open(Client &client);
    void handle(Client &client, uint32_t events);
    void sendSome(Client &client);
    void receive(Client &client);
    // For an ordinary client: answered tells whether the query got its whole reply.
    void end(Client &client, bool answered);
    // A flooder gives up a connection it has held long enough and opens the next.
    void closeByClient(Client &client);

    const int m_pid;
    const std::string m_ordinaryRequest;
    std::string m_hostileRequest;
    sockaddr_in m_address = {};
    int m_epoll = -1;
    double m_queryInterval = 0;
    std::vector<Client> m_clients;
    std::vector<double> m_latencies;
    long m_unanswered = 0;
    long m_hostileSent = 0;
    long m_hostileEnded = 0;
    long m_hostileClosed = 0;
    long m_connectFailures = 0;
    long m_crowdAnswered = 0;
    long m_crowdUnanswered = 0;
};

// Ordinary and crowd clients send the ordinary request and read the reply.
bool readsReplies(const Client &client)
{
    return client.role == Client::Ordinary || client.role == Client::Crowd;
}

void HostileRun::add(Client::Role role, int count, const std::function<uint32_t(int)> &source)
{
    for (int i = 0; i < count; ++i) {
        Client client;
        client.role = role;
        client.source = source(i);
        m_clients.push_back(client);
    }
}

void HostileRun::open(Client &client)
{
    const Client::Role role = client.role;
    const uint32_t source = client.source;
    client = Client();
    client.role = role;
    client.source = source;
    client.start = Clock::now();
    client.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(client.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(client.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    if (role == Client::Flooder) {
        // A window that never opens: what the server cannot hand over stays with it. The
        // small send buffer keeps the flooders' own queued requests out of the kernel's TCP
        // memory, so that it shows what the server holds.
        const int window = 4096;
        const int sendBuffer = 64 * 1024;
        ::setsockopt(client.fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        ::setsockopt(client.fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    }
    sockaddr_in from = {};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(source);
    if (::bind(client.fd, reinterpret_cast<const sockaddr *>(&from), sizeof from) != 0
        || (::connect(client.fd, reinterpret_cast<const sockaddr *>(&m_address), sizeof m_address)
                != 0
            && errno != EINPROGRESS)) {
        ++m_connectFailures;
        end(client, false);
        return;
    }
    epoll_event event = {};
    event.events = EPOLLOUT;
    event.data.ptr = &client;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, client.fd, &event);
}

void HostileRun::end(Client &client, bool answered)
{
    if (client.fd >= 0)
        ::close(client.fd);
    client.fd = -1;
    const Clock::time_point now = Clock::now();
    if (client.role == Client::Crowd) {
        ++(answered ? m_crowdAnswered : m_crowdUnanswered);
        client.due = now;
    } else if (client.role == Client::Ordinary) {
        if (answered)
            m_latencies.push_back(seconds(now - client.start) * 1000);
        else
            ++m_unanswered;
        client.due = client.start
            + std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(m_queryInterval));
    } else {
        ++m_hostileEnded;
        // A flooder comes back at once; a holder keeps its slots without hammering the port.
        client.due = client.role == Client::Flooder ? now
                                                    : now
                + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(ReconnectDelaySeconds));
    }
}

void HostileRun::closeByClient(Client &client)
{
    ::close(client.fd);
    client.fd = -1;
    client.due = Clock::now();
    ++m_hostileClosed;
}

void HostileRun::sendSome(Client &client)
{
    const std::string &text = readsReplies(client) ? m_ordinaryRequest : m_hostileRequest;
    while (client.sent < text.size()) {
        const ssize_t written
            = ::send(client.fd, text.data() + client.sent, text.size() - client.sent, MSG_NOSIGNAL);
        if (written < 0 && errno == EAGAIN)
            return;
        if (written < 0) {
            end(client, false);
            return;
        }
        client.sent += size_t(written);
    }
    client.sentAt = Clock::now();
    if (!readsReplies(client))
        ++m_hostileSent;
    // Ordinary clients read the reply; the others only notice the server ending it.
    epoll_event event = {};
    event.events = readsReplies(client) ? uint32_t(EPOLLIN) : uint32_t(EPOLLRDHUP);
    event.data.ptr = &client;
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, client.fd, &event);
}

void HostileRun::receive(Client &client)
{
    char buffer[65536];
    for (;;) {
        const ssize_t received = ::recv(client.fd, buffer, sizeof buffer, 0);
        if (received > 0) {
            client.reply.append(buffer, size_t(received));
            continue;
        }
        if (received < 0 && errno == EAGAIN)
            return;
        end(client, received == 0 && isExpectedReply(client.reply));
        return;
    }
}

void HostileRun::handle(Client &client, uint32_t events)
{
    if (!client.connected) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(client.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            ++m_connectFailures;
            end(client, false);
            return;
        }
        client.connected = true;
    }
    if (!readsReplies(client) && client.sent == m_hostileRequest.size()) {
        end(client, false);
        return;
    }
    if (events & (EPOLLERR | EPOLLHUP)) {
        end(client, false);
        return;
    }
    const std::string &text = readsReplies(client) ? m_ordinaryRequest : m_hostileRequest;
    if (client.sent < text.size())
        sendSome(client);
    else
        receive(client);
}

int HostileRun::run(
    double duration, const std::string &hostileRequest, double queryInterval, double hold)
{
    m_hostileRequest = hostileRequest;
    m_queryInterval = queryInterval;
    const Clock::time_point begin = Clock::now();
    for (Client &client : m_clients)
        client.due = begin;
    long peakTcpKib = tcpMemoryKib();
    std::vector<epoll_event> events(4096);
    Clock::time_point lastLook = begin;
    while (seconds(Clock::now() - begin) < duration) {
        const Clock::time_point now = Clock::now();
        for (Client &client : m_clients) {
            if (client.fd < 0 && client.due <= now)
                open(client);
            else if (client.fd >= 0 && readsReplies(client)
                && seconds(now - client.start) > QueryTimeoutSeconds)
                end(client, false);
            else if (client.fd >= 0 && client.role == Client::Flooder && hold >= 0
                && client.sent == m_hostileRequest.size() && seconds(now - client.sentAt) > hold)
                closeByClient(client);
        }
        const int ready = ::epoll_wait(m_epoll, events.data(), int(events.size()), 5);
        for (int i = 0; i < ready; ++i)
            handle(*static_cast<Client *>(events[size_t(i)].data.ptr), events[size_t(i)].events);
        if (seconds(Clock::now() - lastLook) > 0.1) {
            lastLook = Clock::now();
            peakTcpKib = std::max(peakTcpKib, tcpMemoryKib());
        }
    }
    std::sort(m_latencies.begin(), m_latencies.end());
    const auto percentile = [this](double p) {
        return m_latencies.empty()
            ? 0.0
            : m_latencies[std::min(m_latencies.size() - 1, size_t(p * double(m_latencies.size())))];
    };
    const long answered = long(m_latencies.size());
    const long asked = answered + m_unanswered;
    const bool crowdOnly = m_crowdAnswered + m_crowdUnanswered > 0;
    if (crowdOnly) {
        std::printf("  crowd queries: %ld answered, %ld not (%.0f answered per second)\n",
            m_crowdAnswered, m_crowdUnanswered, double(m_crowdAnswered) / duration);
        return m_crowdAnswered > 0 ? 0 : 2;
    }
    std::printf("  ordinary queries: %ld asked, %ld answered (%.1f %%); latency median %.1f ms, "
                "99th percentile %.1f ms, max %.1f ms\n",
        asked, answered, asked ? 100.0 * double(answered) / double(asked) : 0.0, percentile(0.5),
        percentile(0.99), m_latencies.empty() ? 0.0 : m_latencies.back());
    if (m_hostileSent + m_hostileEnded + m_connectFailures > 0)
        std::printf("  hostile connections: %ld requests sent whole, %ld connections ended by "
                    "the server, %ld given up by the client; %ld refused or failed as they "
                    "opened\n",
            m_hostileSent, m_hostileEnded, m_hostileClosed, m_connectFailures);
    std::printf("  server peak resident memory (VmHWM) %.1f MiB; kernel TCP memory at most "
                "%.1f MiB (both ends)\n",
        double(statusKib(m_pid, "VmHWM")) / 1024, double(peakTcpKib) / 1024);
    return answered > 0 ? 0 : 2;
}

uint32_t floodSource(int i)
{
    return (127u << 24) | (2u << 8) | (1u + uint32_t(i) % 100);
}

uint32_t holderSource(int)
{
    return (127u << 24) | 1u;
}

uint32_t ordinarySource(int i)
{
    return (127u << 24) | (2u + uint32_t(i));
}

uint32_t crowdSource(int)
{
    return (127u << 24) | (3u << 8) | 1u;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const bool flood = (arguments.size() == 7 || arguments.size() == 8)
        && arguments.at(1) == QLatin1String("flood")
        && (arguments.at(6) == QLatin1String("short") || arguments.at(6) == QLatin1String("long"));
    const bool slowloris = (arguments.size() == 7 || arguments.size() == 8)
        && arguments.at(1) == QLatin1String("slowloris");
    const bool crowd = arguments.size() == 6 && arguments.at(1) == QLatin1String("crowd");
    if (!flood && !slowloris && !crowd) {
        std::fprintf(stderr,
            "usage: hostile-bench flood PORT PID FLOODERS SECONDS short|long [HOLD]\n"
            "       hostile-bench slowloris PORT PID HOLD CLIENTS SECONDS [ADDRESSES]\n"
            "       hostile-bench crowd PORT PID CROWD SECONDS\n");
        return 1;
    }
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    HostileRun run(arguments.at(2).toInt(), arguments.at(3).toInt());
    if (flood) {
        run.add(Client::Flooder, arguments.at(4).toInt(), floodSource);
        run.add(Client::Ordinary, 1, ordinarySource);
        return run.run(arguments.at(5).toDouble(),
            floodRequest(arguments.at(6) == QLatin1String("long")), 0,
            arguments.size() == 8 ? arguments.at(7).toDouble() : -1);
    }
    if (crowd) {
        const int count = arguments.at(4).toInt();
        if (count > 0)
            run.add(Client::Crowd, count, crowdSource);
        else
            run.add(Client::Ordinary, 1, ordinarySource);
        return run.run(arguments.at(5).toDouble(), std::string(), QueryIntervalSeconds);
    }
    const uint32_t addresses = arguments.size() == 8 ? arguments.at(7).toUInt() : 0;
    if (addresses > 0)
        run.add(Client::Holder, arguments.at(4).toInt(), [addresses](int i) {
            return (127u << 24) | (1u << 8) | (1u + uint32_t(i) % addresses);
        });
    else
        run.add(Client::Holder, arguments.at(4).toInt(), holderSource);
    run.add(Client::Ordinary, arguments.at(5).toInt(), ordinarySource);
    return run.run(arguments.at(6).toDouble(), request().substr(0, 100), QueryIntervalSeconds);
}
