// The update server under load. A hand-written load generator on plain non-blocking sockets
// and epoll, one thread: N clients in a closed loop, each connecting, sending one update
// request, reading the reply to the end and starting again, optionally beside K idle
// connections that send part of a request and then nothing.
//
//   load-bench catalogue DIR
//       writes DIR/index.xml with 200 components and a signature file per package
//   load-bench run PORT PIDS CLIENTS QUERIES IDLE
//       PIDS: the server processes (comma-separated) whose memory is read
//   load-bench fixed PORT
//       takes one reply from the update server on PORT, then answers every request with it
//       on a port of its own, printed as "update port N": what loopback and the load
//       generator allow on this machine when answering costs nothing

#include "benchquery.h"
#include "catalogue.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace BenchQuery;

constexpr double QueryTimeoutSeconds = 30;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int writeCatalogue(const QString &folder)
{
    QDir().mkpath(folder);
    Catalogue catalogue;
    for (int i = 0; i < CatalogueSize; ++i) {
        CatalogueEntry entry;
        entry.project = QStringLiteral("orvi");
        entry.name = componentName(i);
        entry.type = i == 0 ? QStringLiteral("app") : QStringLiteral("plugin");
        entry.version = QStringLiteral("2.0.%1").arg(i);
        entry.package = entry.name + QStringLiteral("-2.0.zip");
        entry.description = QStringLiteral("The %1 of the Orvi messenger").arg(entry.name);
        entry.copyrights = QStringLiteral("(c) Orvi");
        entry.author = QStringLiteral("Orvi team");
        entry.webpage = QStringLiteral("https://orvi.example/");
        entry.email = QStringLiteral("team@orvi.example");
        entry.changelog = QStringLiteral("Faster start-up.\nFixes a crash when a contact "
                                         "renames itself.\nNew smileys.\n")
                              .repeated(3);
        entry.timestamp = 1700000000u + uint(i);
        catalogue.insert(entry);
        // Shaped like minisign's output; the server passes it on without checking it.
        QFile signature(QDir(folder).filePath(entry.signatureFileName()));
        if (!signature.open(QIODevice::WriteOnly))
            return 1;
        signature.write("untrusted comment: signature from minisign secret key\n"
                        "RUQBAgMEBQYHCBZWoJ3hTMjO1lG0oxs0MgfhXhVOk0Ul0wuFUU3l6QXHnCy2qb5lcOt"
                        "9tB2Ryd1Gq1ssV4a3pPfd5xM9RqgHXu6Mmnk=\n"
                        "trusted comment: orvi-package project=orvi name="
            + entry.name.toLatin1() + " type=plugin version=" + entry.version.toLatin1()
            + "\nZ2xvYmFsIHNpZ25hdHVyZSBvdmVyIHRoZSBzaWduYXR1cmUgYW5kIHRoZSB0cnVzdGVkIGNvbW1l"
              "bnQgKGZha2UpIQ==\n");
    }
    QString errorText;
    if (!catalogue.save(folder, &errorText)) {
        std::fprintf(stderr, "%s\n", qPrintable(errorText));
        return 1;
    }
    return 0;
}

int openDescriptors(int pid)
{
    DIR *folder = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!folder)
        return -1;
    int count = 0;
    while (dirent *entry = ::readdir(folder))
        count += entry->d_name[0] != '.';
    ::closedir(folder);
    return count;
}

struct Client
{
    int fd = -1;
    bool idle = false;
    bool connected = false;
    size_t sent = 0;
    std::string reply;
    Clock::time_point start;
};

class LoadRun
{
public:
    LoadRun(int port, std::vector<int> pids) : m_pids(std::move(pids)), m_request(request())
    {
        m_address.sin_family = AF_INET;
        m_address.sin_port = htons(uint16_t(port));
        m_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_epoll = ::epoll_create1(0);
    }

    bool openIdle(int count);
    int run(int clients, long queries);

private:
    int connectSocket();
    void startQuery(Client &client);
    void handle(Client &client, uint32_t events);
    // error is empty for a good reply.
    void finishQuery(Client &client, const std::string &error);
    long totalKib(const char *field) const;
    void printMemory(const char *when) const;

    std::vector<int> m_pids;
    const std::string m_request;
    sockaddr_in m_address = {};
    int m_epoll = -1;
    unsigned m_nextSource = 0;
    std::vector<Client> m_idle;
    std::vector<double> m_latencies;
    long m_issued = 0;
    long m_wanted = 0;
    long m_errors = 0;
    std::map<std::string, long> m_errorKinds;
    long m_idleLost = 0;
};

int LoadRun::connectSocket()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Source addresses spread over 127.0.1.1-200: a connection closed by the server stays in
    // its TIME_WAIT for a minute, and one source address would soon reuse ports still there.
    ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    sockaddr_in source = {};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl((127u << 24) | (1u << 8) | (1u + m_nextSource++ % 200));
    ::bind(fd, reinterpret_cast<const sockaddr *>(&source), sizeof source);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&m_address), sizeof m_address) != 0
        && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Slow clients: each sends the start of a request and then nothing. They count as held once
// the server has a descriptor open for each.
bool LoadRun::openIdle(int count)
{
    int baseline = 0;
    for (int pid : m_pids)
        baseline += openDescriptors(pid);
    const std::string start = m_request.substr(0, 100);
    // Sized once: epoll holds pointers to the elements.
    m_idle.resize(size_t(count));
    for (Client &client : m_idle) {
        client.idle = true;
        client.fd = connectSocket();
        if (client.fd < 0) {
            std::fprintf(stderr, "idle connection: %s\n", std::strerror(errno));
            return false;
        }
        epoll_event event = {};
        event.events = EPOLLOUT;
        event.data.ptr = &client;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, client.fd, &event);
    }
    int pending = count;
    const Clock::time_point begin = Clock::now();
    std::vector<epoll_event> events(1024);
    while (pending > 0 && secondsSince(begin) < 120) {
        const int ready = ::epoll_wait(m_epoll, events.data(), int(events.size()), 100);
        for (int i = 0; i < ready; ++i) {
            Client &client = *static_cast<Client *>(events[size_t(i)].data.ptr);
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(client.fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0 || ::send(client.fd, start.data(), start.size(), MSG_NOSIGNAL) < 0) {
                std::fprintf(stderr, "idle connection: %s\n", std::strerror(error ? error : errno));
                return false;
            }
            // From now on only the server closing it wakes us.
            epoll_event event = events[size_t(i)];
            event.events = EPOLLRDHUP;
            ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, client.fd, &event);
            --pending;
        }
    }
    for (;;) {
        int held = 0;
        for (int pid : m_pids)
            held += openDescriptors(pid);
        if (held - baseline >= count)
            return true;
        if (secondsSince(begin) > 120) {
            std::fprintf(stderr, "the servers took only %d of %d idle connections\n",
                held - baseline, count);
            return false;
        }
        ::usleep(100 * 1000);
    }
}

void LoadRun::startQuery(Client &client)
{
    ++m_issued;
    client = Client();
    client.start = Clock::now();
    client.fd = connectSocket();
    if (client.fd < 0) {
        finishQuery(client, std::string("connect: ") + std::strerror(errno));
        return;
    }
    epoll_event event = {};
    event.events = EPOLLOUT;
    event.data.ptr = &client;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, client.fd, &event);
}

void LoadRun::handle(Client &client, uint32_t events)
{
    if (!client.connected) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(client.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            finishQuery(client, std::string("connect: ") + std::strerror(error));
            return;
        }
        client.connected = true;
    }
    if (client.sent < m_request.size() && (events & EPOLLOUT)) {
        const ssize_t written = ::send(client.fd, m_request.data() + client.sent,
            m_request.size() - client.sent, MSG_NOSIGNAL);
        if (written < 0 && errno != EAGAIN) {
            finishQuery(client, std::string("send: ") + std::strerror(errno));
            return;
        }
        client.sent += size_t(std::max<ssize_t>(written, 0));
        if (client.sent == m_request.size()) {
            epoll_event event = {};
            event.events = EPOLLIN;
            event.data.ptr = &client;
            ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, client.fd, &event);
        }
        return;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t received = ::recv(client.fd, buffer, sizeof buffer, 0);
        if (received > 0) {
            client.reply.append(buffer, size_t(received));
        } else if (received == 0) {
            finishQuery(client,
                isExpectedReply(client.reply) ? std::string()
                    : client.reply.empty()    ? std::string("closed without a reply")
                                              : std::string("incomplete or wrong reply"));
            return;
        } else {
            if (errno != EAGAIN)
                finishQuery(client, std::string("receive: ") + std::strerror(errno));
            return;
        }
    }
}

void LoadRun::finishQuery(Client &client, const std::string &error)
{
    if (client.fd >= 0)
        ::close(client.fd);
    client.fd = -1;
    if (error.empty()) {
        m_latencies.push_back(secondsSince(client.start) * 1000);
    } else {
        ++m_errors;
        ++m_errorKinds[error];
    }
    const long done = long(m_latencies.size()) + m_errors;
    if (done == 10000 || done == m_wanted)
        printMemory(done == 10000 ? "after 10000 queries" : "at the end");
    if (m_issued < m_wanted)
        startQuery(client);
}

long LoadRun::totalKib(const char *field) const
{
    long total = 0;
    for (int pid : m_pids)
        total += statusKib(pid, field);
    return total;
}

void LoadRun::printMemory(const char *when) const
{
    std::printf("  server resident memory %s: %.1f MiB\n", when, double(totalKib("VmRSS")) / 1024);
}

int LoadRun::run(int clientCount, long queries)
{
    m_wanted = queries;
    std::vector<Client> clients(static_cast<size_t>(clientCount));
    const Clock::time_point begin = Clock::now();
    for (Client &client : clients) {
        if (m_issued < m_wanted)
            startQuery(client);
    }
    std::vector<epoll_event> events(4096);
    Clock::time_point lastSweep = Clock::now();
    while (long(m_latencies.size()) + m_errors < m_wanted) {
        const int ready = ::epoll_wait(m_epoll, events.data(), int(events.size()), 100);
        for (int i = 0; i < ready; ++i) {
            const epoll_event &event = events[size_t(i)];
            Client &client = *static_cast<Client *>(event.data.ptr);
            if (client.idle) {
                ++m_idleLost;
                ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, client.fd, nullptr);
                continue;
            }
            handle(client, event.events);
        }
        if (secondsSince(lastSweep) > 1) {
            lastSweep = Clock::now();
            for (Client &client : clients) {
                if (client.fd >= 0
                    && std::chrono::duration<double>(lastSweep - client.start).count()
                        > QueryTimeoutSeconds)
                    finishQuery(client, "no reply within 30 s");
            }
        }
    }
    const double seconds = secondsSince(begin);
    std::sort(m_latencies.begin(), m_latencies.end());
    const auto percentile = [this](double p) {
        return m_latencies.empty()
            ? 0.0
            : m_latencies[std::min(m_latencies.size() - 1, size_t(p * double(m_latencies.size())))];
    };
    std::printf("  %ld queries in %.1f s: %.0f queries/s; latency median %.1f ms, 99th "
                "percentile %.1f ms, max %.1f ms; errors %ld; idle connections closed by the "
                "server %ld of %zu\n",
        m_wanted, seconds, double(m_wanted) / seconds, percentile(0.5), percentile(0.99),
        m_latencies.empty() ? 0.0 : m_latencies.back(), m_errors, m_idleLost, m_idle.size());
    for (const auto &[kind, count] : m_errorKinds)
        std::printf("  error: %s: %ld\n", kind.c_str(), count);
    std::printf("  server peak memory (VmHWM):");
    for (int pid : m_pids)
        std::printf(" %.1f MiB", double(statusKib(pid, "VmHWM")) / 1024);
    std::printf("\n");
    return m_errors == 0 && m_idleLost == 0 ? 0 : 2;
}

// The stand-in for the server: reads each request up to its closing marker, sends the stored
// reply and closes, as the server does, without looking at the request.
int serveFixedReply(int serverPort)
{
    std::string reply;
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(serverPort));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0
            || ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            std::fprintf(stderr, "cannot reach the update server: %s\n", std::strerror(errno));
            return 1;
        }
        const std::string query = request();
        ::send(fd, query.data(), query.size(), MSG_NOSIGNAL);
        char buffer[16 * 1024];
        for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            reply.append(buffer, size_t(got));
        ::close(fd);
    }
    if (!isExpectedReply(reply)) {
        std::fprintf(stderr, "the update server's reply is not the expected one\n");
        return 1;
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0
        || ::bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || ::listen(listener, 4096) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        std::fprintf(stderr, "cannot listen: %s\n", std::strerror(errno));
        return 1;
    }
    std::printf("update port %d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    const int epoll = ::epoll_create1(0);
    epoll_event event = {};
    event.events = EPOLLIN;
    event.data.fd = listener;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
    std::map<int, std::string> requests;
    epoll_event events[256];
    for (;;) {
        const int ready = ::epoll_wait(epoll, events, 256, -1);
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listener) {
                for (int client;
                     (client = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) {
                    event.data.fd = client;
                    ::epoll_ctl(epoll, EPOLL_CTL_ADD, client, &event);
                }
                continue;
            }
            char buffer[16 * 1024];
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got < 0 && errno == EAGAIN)
                continue;
            std::string &received = requests[fd];
            if (got > 0)
                received.append(buffer, size_t(got));
            if (got > 0 && received.find("</s>") == std::string::npos)
                continue;
            if (got > 0) {
                // The reply usually fits the socket's send buffer at once; the rest, if any,
                // waits for room.
                ssize_t sent = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
                if (sent >= 0 && size_t(sent) < reply.size()) {
                    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
                    ::send(fd, reply.data() + sent, reply.size() - size_t(sent), MSG_NOSIGNAL);
                }
            }
            requests.erase(fd);
            ::close(fd);
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 3 && arguments.at(1) == QLatin1String("catalogue"))
        return writeCatalogue(arguments.at(2));
    if (arguments.size() == 3 && arguments.at(1) == QLatin1String("fixed"))
        return serveFixedReply(arguments.at(2).toInt());
    if (arguments.size() != 7 || arguments.at(1) != QLatin1String("run")) {
        std::fprintf(stderr,
            "usage: load-bench catalogue DIR\n"
            "       load-bench run PORT PIDS CLIENTS QUERIES IDLE\n"
            "       load-bench fixed PORT\n");
        return 1;
    }
    // Idle connections and clients each hold a descriptor.
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::vector<int> pids;
    for (const QString &pid : arguments.at(3).split(QLatin1Char(',')))
        pids.push_back(pid.toInt());
    LoadRun run(arguments.at(2).toInt(), pids);
    if (!run.openIdle(arguments.at(6).toInt()))
        return 1;
    return run.run(arguments.at(4).toInt(), arguments.at(5).toLong());
}
