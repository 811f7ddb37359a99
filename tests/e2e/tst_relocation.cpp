#include "applicationfolder.h"
#include "fakeupdateserver.h"
#include "packagesignature.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
// After windows.h, which it builds on.
#include <tlhelp32.h>
#endif

namespace {

// True once no process runs program any more.
bool hasEnded(const QString &program)
{
#ifdef Q_OS_WIN
    // No other program of that name runs during the test.
    const QString name = QFileInfo(program).fileName();
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W process;
    process.dwSize = sizeof(process);
    bool running = false;
    for (BOOL more = Process32FirstW(snapshot, &process); more && !running;
         more = Process32NextW(snapshot, &process))
        running
            = QString::fromWCharArray(process.szExeFile).compare(name, Qt::CaseInsensitive) == 0;
    CloseHandle(snapshot);
    return !running;
#else
    const QString canonical = QFileInfo(program).canonicalFilePath();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : entries) {
        if (QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget() == canonical)
            return false;
    }
    return true;
#endif
}

#ifdef Q_OS_WIN
// Copies the files of folder source, subfolders included, into target.
bool copyFolder(const QString &source, const QString &target)
{
    const QDir from(source);
    const QFileInfoList entries = from.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QString destination = target + QLatin1Char('/') + entry.fileName();
        if (entry.isDir()
                ? !QDir().mkpath(destination) || !copyFolder(entry.filePath(), destination)
                : !QFile::copy(entry.filePath(), destination))
            return false;
    }
    return true;
}
#endif

} // namespace

/*
 * The real binary, started the way a user's machine starts it: from the main application's
 * folder and without "-u". It must copy itself into the download folder and leave the work
 * to the copy, which queries the update server for that folder's main application.
 */
class tst_Relocation : public QObject
{
    Q_OBJECT

private slots:
    void relocatesAndTheCopyQueries();
};

void tst_Relocation::relocatesAndTheCopyQueries()
{
    if (!ORVI_UPDATER_PINS_TEST_CA)
        QSKIP("The updater program trusts the test server only when built with "
              "-DORVI_UPDATE_SERVER_CA=tests/keys/tls/ca.pem, as the test command builds it");
    TestEnvironment environment;
    QVERIFY(environment.isValid());
    const QString app = environment.root() + QStringLiteral("/Orvi Messenger");
    QVERIFY(QDir().mkpath(app));
#ifdef Q_OS_WIN
    // The updater as an installation ships it: with exactly the libraries and plug-ins it loads.
    const QString shipped = QStringLiteral(ORVI_DEPLOY_DIR "/updater.exe");
    const QString updaterName = QStringLiteral("/updater.exe");
    QVERIFY(copyFolder(QStringLiteral(ORVI_DEPLOY_DIR), app));
#else
    const QString shipped = QStringLiteral(ORVI_UPDATER_BINARY);
    const QString updaterName = QStringLiteral("/updater");
    QVERIFY(QFile::copy(shipped, app + updaterName));
#endif
    QVERIFY(ApplicationFolder::makeWithSample(app));
    QVERIFY(TestEnvironment::writeFile(app + QStringLiteral("/components"), "orvi core app 7.1\n"));

    FakeUpdateServer server;
    QVERIFY(server.port() != 0);
    server.answer(QByteArrayLiteral("<updates><request project=\"orvi\" name=\"core\" "
                                    "type=\"app\"><latest/></request></updates>"));

    QProcess updater;
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    variables.insert(QStringLiteral("XDG_CACHE_HOME"), environment.cacheHome());
#ifdef Q_OS_WIN
    // Nothing but its own folder may supply what the updater loads: Windows' own platform
    // plug-in, found through its qt.conf.
    variables.remove(QStringLiteral("QT_PLUGIN_PATH"));
    variables.remove(QStringLiteral("QT_QPA_PLATFORM"));
#else
    variables.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
#endif
    variables.insert(
        QStringLiteral("ORVI_UPDATE_SERVER"), QStringLiteral("127.0.0.1:%1").arg(server.port()));
    updater.setProcessEnvironment(variables);
    updater.start(app + updaterName, { QStringLiteral("-q") });
    QVERIFY2(updater.waitForStarted(), qPrintable(updater.errorString()));
    QVERIFY2(updater.waitForFinished(30000), "the relocation run did not end by itself");
    // Whoever started the updater may stop listening to it now; the copy must not mind.
    updater.close();
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);

    const QString copy = environment.tempFolder() + QStringLiteral("/tupdates") + updaterName;
    QCOMPARE(TestEnvironment::readFile(copy), TestEnvironment::readFile(shipped));

    // The copy got "-u", "-q", "-root" and the folder: it asked for exactly that folder's
    // main application's components.
    QTRY_VERIFY_WITH_TIMEOUT(server.received().endsWith("</s>"), 30000);
    // Over TLS where the build queries so: the copy found the TLS plug-in of its deployment as
    // well. A staging build (ORVI_UNSIGNED_PACKAGES) queries over plain TCP.
    QCOMPARE(server.handshakes(), PackageSignature::unsignedPackagesAllowed() ? 0 : 1);
    const QByteArray request = server.received();
    QVERIFY2(request.startsWith("<s nonce=\""), request.constData());
    const QByteArray answerForm = "<answerForm name=\"orvi-update-answer-2\"/>";
    QCOMPARE(request.mid(request.indexOf('>') + 1, answerForm.size()), answerForm);
    QCOMPARE(request.mid(request.indexOf('>') + 1 + answerForm.size()),
        QByteArray("\n<component project=\"orvi\" name=\"core\" type=\"app\" "
                   "version=\"7.1\"/>\n</s>"));
    // Quiet and without updates, the copy ends by itself, showing nothing.
    QTRY_VERIFY_WITH_TIMEOUT(hasEnded(copy), 30000);
}

QTEST_GUILESS_MAIN(tst_Relocation)
#include "tst_relocation.moc"
