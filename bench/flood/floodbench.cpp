#include "applicationfolder.h"
#include "fakeupdateserver.h"
#include "messageboxhandler.h"
#include "orviupdaterengine.h"
#include "servertrust.h"
#include "testenvironment.h"
#include "testtls.h"
#include "updatequery.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <cstdio>

namespace {

constexpr qint64 FloodSize = 400 * 1024 * 1024;

/// The process's peak resident memory in KiB since it started or was last reset.
qint64 peakKib()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void resetPeak()
{
    // Writing 5 to clear_refs sets the peak back to the current resident size.
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

/// The query itself, in a process of its own so that the server's copies of the reply do
/// not count: prints the peak memory in KiB and whether the query succeeded.
int queryProcess(int argc, char *argv[])
{
    const QByteArray port = argv[2];
    QByteArrayList arguments { QByteArray(argv[0]), QByteArray("-u"), QByteArray("-root"),
        QByteArray(argv[3]) };
    int count = int(arguments.size());
    std::vector<char *> pointers;
    for (QByteArray &argument : arguments)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    QApplication application(count, pointers.data());
    MessageBoxHandler::setAnswerer(
        [](const MessageBoxHandler::Box &box) { return MessageBoxHandler::defaultAnswer(box); });
    (void)argc;
    resetPeak();
    // The fake server's test certificate, as the tests trust it.
    ServerTrust::setTestAuthorities(TestTls::certificates(QStringLiteral("ca")));
    EngineSettings settings;
    settings.appRoot = QString::fromLocal8Bit(argv[3]);
    settings.updateServer = UpdateServer(QStringLiteral("127.0.0.1"), quint16(port.toUInt()));
    OrviUpdaterEngine engine(settings);
    const bool succeeded = engine.checkUpdates();
    std::printf("%lld %d\n", static_cast<long long>(peakKib()), succeeded ? 1 : 0);
    return 0;
}

/// Runs one update query against server in a child process; returns its peak memory.
qint64 query(const FakeUpdateServer &server, const QString &root, bool *succeeded)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
        { QStringLiteral("--query"), QString::number(server.port()), root });
    child.waitForFinished(120000);
    const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
    *succeeded = fields.value(1) == "1";
    return fields.value(0).toLongLong();
}

QByteArray completeReply(const QByteArray &request, qsizetype size)
{
    QByteArray reply = "<reply>";
    while (reply.size() + request.size() + 8 < size)
        reply += request;
    return reply + "</reply>";
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc == 4 && qstrcmp(argv[1], "--query") == 0)
        return queryProcess(argc, argv);
    QCoreApplication application(argc, argv);
    TestEnvironment environment;
    const QString root = environment.root() + QStringLiteral("/installation");
    // A main application with an empty inventory: the request, which the fake server signs
    // its answers over, is still whole.
    QDir().mkpath(root);
    if (!ApplicationFolder::makeScripted(ApplicationFolder::mainProgram(root), "out <s></s>"))
        qFatal("cannot make the main application");

    FakeUpdateServer server;
    bool ok = false;
    server.answer("<reply><request project=\"orvi\" name=\"core\" type=\"app\"><latest/>"
                  "</request></reply>");
    const qint64 idle = query(server, root, &ok);
    std::printf("idle updater (a small reply): peak %.1f MiB%s\n", idle / 1024.0,
        ok ? "" : " (query failed)");

    const struct
    {
        const char *label;
        QByteArray unit;
    } floods[] = { { "text", "x" }, { "nested elements", "<a>" }, { "small elements", "<b/>" },
        { "attributes", "<c d=\"e\"/>" } };
    for (const auto &flood : floods) {
        server.flood(FloodSize, flood.unit);
        const qint64 peak = query(server, root, &ok);
        std::printf("400 MiB endless reply, %-16s peak %6.1f MiB, %+6.1f MiB over idle, "
                    "%5.1f MiB sent before the query gave up%s\n",
            flood.label, peak / 1024.0, (peak - idle) / 1024.0, server.flooded() / 1048576.0,
            ok ? " (accepted?)" : "");
    }

    const qsizetype near = UpdateQuery::MaxReplySize - 64 * 1024;
    const struct
    {
        const char *label;
        QByteArray reply;
    } complete[] = {
        // As many requests as the reader takes, each with a long changelog, filling the limit.
        { "long requests",
            completeReply("<request project=\"orvi\" name=\"plugin\" type=\"plugin\">"
                          "<version>1.0</version><description>Plugin</description>"
                          "<changelog>"
                    + QByteArray("Fixes and improvements. ").repeated(70)
                    + "</changelog><link>http://dl.orvi.example/plugin.zip</link></request>",
                near) },
        { "empty requests", completeReply("<request/>", near) },
        { "empty elements", completeReply("<b/>", near) },
    };
    for (const auto &reply : complete) {
        server.answer(reply.reply);
        const qint64 peak = query(server, root, &ok);
        std::printf("complete %.1f MiB reply of %-16s peak %6.1f MiB, %+6.1f MiB over idle "
                    "(%.1f times its size)%s\n",
            reply.reply.size() / 1048576.0, reply.label, peak / 1024.0, (peak - idle) / 1024.0,
            (peak - idle) * 1024.0 / reply.reply.size(), ok ? "" : " (query failed)");
    }
    return 0;
}
