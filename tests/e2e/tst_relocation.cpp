#include "applicationfolder.h"
#include "fakeupdateserver.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

namespace {

// The processes whose executable is program (Linux: /proc/<pid>/exe).
QStringList processesRunning(const QString &program)
{
    QStringList pids;
    const QString canonical = QFileInfo(program).canonicalFilePath();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : entries) {
        if (QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget() == canonical)
            pids << pid;
    }
    return pids;
}

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
    TestEnvironment environment;
    QVERIFY(environment.isValid());
    const QString app = environment.root() + QStringLiteral("/Orvi Messenger");
    QVERIFY(QDir().mkpath(app));
    QVERIFY(QFile::copy(QStringLiteral(ORVI_UPDATER_BINARY), app + QStringLiteral("/updater")));
    QVERIFY(ApplicationFolder::makeWithSample(app));
    QVERIFY(TestEnvironment::writeFile(app + QStringLiteral("/components"), "orvi core app 7.1\n"));

    FakeUpdateServer server;
    QVERIFY(server.port() != 0);
    server.answer(QByteArrayLiteral("<updates><request project=\"orvi\" name=\"core\" "
                                    "type=\"app\"><latest/></request></updates>"));

    QProcess updater;
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    variables.insert(QStringLiteral("XDG_CACHE_HOME"), environment.cacheHome());
    variables.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    variables.insert(
        QStringLiteral("ORVI_UPDATE_SERVER"), QStringLiteral("127.0.0.1:%1").arg(server.port()));
    updater.setProcessEnvironment(variables);
    updater.start(app + QStringLiteral("/updater"), { QStringLiteral("-q") });
    QVERIFY2(updater.waitForStarted(), qPrintable(updater.errorString()));
    QVERIFY2(updater.waitForFinished(30000), "the relocation run did not end by itself");
    // Whoever started the updater may stop listening to it now; the copy must not mind.
    updater.close();
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);

    const QString copy = environment.tempFolder() + QStringLiteral("/tupdates/updater");
    QCOMPARE(TestEnvironment::readFile(copy),
        TestEnvironment::readFile(QStringLiteral(ORVI_UPDATER_BINARY)));

    // The copy got "-u", "-q", "-root" and the folder: it asked for exactly that folder's
    // main application's components.
    QTRY_VERIFY_WITH_TIMEOUT(server.received().endsWith("</s>"), 30000);
    QCOMPARE(server.received(),
        QByteArray("<s>\n<component project=\"orvi\" name=\"core\" type=\"app\" "
                   "version=\"7.1\"/>\n</s>"));
    // Quiet and without updates, the copy ends by itself, showing nothing.
    QTRY_VERIFY_WITH_TIMEOUT(processesRunning(copy).isEmpty(), 30000);
}

QTEST_GUILESS_MAIN(tst_Relocation)
#include "tst_relocation.moc"
