// The updater as the crash test starts it, built only with the tests: every box is answered
// as a user pressing Enter would, the summary is closed as soon as it shows, nothing is
// started afterwards, and with ORVI_TEST_KILL_AFTER=k the process kills itself just before
// its (k+1)-th change below a root, that is, right after its k-th; with ORVI_TEST_PAUSE_AFTER=k
// it stops itself there instead (SIGSTOP) until it is continued. ORVI_TEST_LOCK_TIMEOUT sets
// how many milliseconds it waits for the runs before it. It prints how many changes it made
// when it ends by itself.

#include "filesystem.h"
#include "messageboxhandler.h"
#include "platform.h"
#include "startup.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QTimer>
#include <QWidget>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {
int changes = 0;

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
    MessageBoxHandler::setAutomaticAnswers();
    Platform::setDetachedStarter([](const QString &, const QStringList &) { return true; });
    bool limited = false;
    const int killAfter = qEnvironmentVariableIntValue("ORVI_TEST_KILL_AFTER", &limited);
    bool paused = false;
    const int pauseAfter = qEnvironmentVariableIntValue("ORVI_TEST_PAUSE_AFTER", &paused);
    const QString downloadFolder = QDir::cleanPath(Platform::downloadFolder()) + QLatin1Char('/');
    FileSystem::setFaultInjector([=](FileSystem::Operation operation, const QString &path,
                                     const QString &other) {
        if (operation == FileSystem::Operation::Sync || operation == FileSystem::Operation::Write
            || operation == FileSystem::Operation::Close)
            return 0;
        const auto inRoot = [&](const QString &file) {
            return !file.isEmpty() && !QDir::cleanPath(file).startsWith(downloadFolder);
        };
        if (!inRoot(path) && !inRoot(other))
            return 0;
        if (limited && changes >= killAfter)
            ::kill(::getpid(), SIGKILL);
        if (paused && changes == pauseAfter)
            ::kill(::getpid(), SIGSTOP);
        ++changes;
        return 0;
    });
    EngineSettings settings;
    if (qEnvironmentVariableIsSet("ORVI_TEST_LOCK_TIMEOUT"))
        settings.lockTimeout = qEnvironmentVariableIntValue("ORVI_TEST_LOCK_TIMEOUT");
    const int code = Startup::run(argc, argv, settings);
    std::printf("changes %d\n", changes);
    return code;
}
