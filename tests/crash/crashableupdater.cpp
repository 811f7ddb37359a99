// The updater as the crash tests start it, built only with the tests: every box is answered
// as a user pressing Enter would and printed ("box <icon> <text>", line feeds as spaces), the
// summary is closed as soon as it shows, nothing is started afterwards, and with
// ORVI_TEST_KILL_AFTER=k the process kills itself (SIGKILL; TerminateProcess on Windows) just
// before its (k+1)-th change below a root, that is, right after its k-th; with
// ORVI_TEST_PAUSE_AFTER=k it stops itself there instead (SIGSTOP) until it is continued (on
// Windows, which cannot stop itself, it prints "paused" and waits for a line on its standard
// input). With ORVI_TEST_KILL_AT=text:n it kills itself at the n-th file operation on a path
// holding text, in the download folder too. ORVI_TEST_LOCK_TIMEOUT sets how many milliseconds it
// waits for the runs before it; ORVI_TEST_SERVER_CA names a PEM file of the authorities it
// trusts in place of the system's. It prints how many changes it made when it ends by itself.

#include "filesystem.h"
#include "messageboxhandler.h"
#include "platform.h"
#include "servertrust.h"
#include "startup.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <unistd.h>
#endif

namespace {
int changes = 0;

[[noreturn]] void killSelf()
{
#ifdef Q_OS_WIN
    // An exit status Windows gives a process that crashed.
    ::TerminateProcess(::GetCurrentProcess(), 0xC0000409);
#else
    ::kill(::getpid(), SIGKILL);
#endif
    std::abort();
}

void pauseSelf()
{
#ifdef Q_OS_WIN
    std::printf("paused\n");
    std::fflush(stdout);
    char line[16];
    if (!std::fgets(line, sizeof line, stdin))
        killSelf();
#else
    ::kill(::getpid(), SIGSTOP);
#endif
}

QMessageBox::StandardButton printBox(const MessageBoxHandler::Box &box)
{
    QString text = box.text;
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    std::printf("box %d %s\n", int(box.icon), text.toUtf8().constData());
    std::fflush(stdout);
    return MessageBoxHandler::defaultAnswer(box);
}

void closeSummaryWhenShown()
{
    auto *timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [] {
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (window->isVisible()
                && window->objectName() == QLatin1String("Updater_Summary_MainWindow")) {
                if (auto *close = window->findChild<QAbstractButton *>(
                        QStringLiteral("Updater_Summary_Restart")))
                    close->click();
            }
        }
    });
    timer->start(20);
}
} // namespace

Q_COREAPP_STARTUP_FUNCTION(closeSummaryWhenShown)

int main(int argc, char **argv)
{
    MessageBoxHandler::setAnswerer(printBox);
    Platform::setDetachedStarter([](const QString &, const QStringList &) { return true; });
    bool limited = false;
    const int killAfter = qEnvironmentVariableIntValue("ORVI_TEST_KILL_AFTER", &limited);
    bool paused = false;
    const int pauseAfter = qEnvironmentVariableIntValue("ORVI_TEST_PAUSE_AFTER", &paused);
    const QString downloadFolder = QDir::cleanPath(Platform::downloadFolder()) + QLatin1Char('/');
    const QStringList killAt = qEnvironmentVariable("ORVI_TEST_KILL_AT").split(QLatin1Char(':'));
    auto killAtCount = std::make_shared<int>(killAt.value(1).toInt());
    FileSystem::setFaultInjector([=](FileSystem::Operation operation, const QString &path,
                                     const QString &other) {
        if (killAt.size() == 2 && path.contains(killAt.first()) && --*killAtCount <= 0)
            killSelf();
        if (operation == FileSystem::Operation::Sync || operation == FileSystem::Operation::Write
            || operation == FileSystem::Operation::Close)
            return 0;
        const auto inRoot = [&](const QString &file) {
            return !file.isEmpty() && !QDir::cleanPath(file).startsWith(downloadFolder);
        };
        if (!inRoot(path) && !inRoot(other))
            return 0;
        if (limited && changes >= killAfter)
            killSelf();
        if (paused && changes == pauseAfter)
            pauseSelf();
        ++changes;
        return 0;
    });
    if (qEnvironmentVariableIsSet("ORVI_TEST_SERVER_CA")) {
        QFile authorities(qEnvironmentVariable("ORVI_TEST_SERVER_CA"));
        if (authorities.open(QIODevice::ReadOnly))
            ServerTrust::setTestAuthorities(QSslCertificate::fromData(authorities.readAll()));
    }
    const int code = Startup::run(argc, argv, [](EngineSettings &settings) {
        if (qEnvironmentVariableIsSet("ORVI_TEST_LOCK_TIMEOUT"))
            settings.lockTimeout = qEnvironmentVariableIntValue("ORVI_TEST_LOCK_TIMEOUT");
    });
    std::printf("changes %d\n", changes);
    return code;
}
