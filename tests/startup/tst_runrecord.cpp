#include "applicationfolder.h"
#include "fakeupdateserver.h"
#include "platform.h"
#include "runlock.h"
#include "runrecord.h"
#include "servedupdate.h"
#include "testenvironment.h"
#include "testpackage.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

/*
 * The record of a run as the main application reads it, written by the updater program for
 * the ways a run ends: started directly with "-u" as the relocation starts its copy, and
 * started as a user's machine starts it, through the relocation, with the run id passed on.
 */
class tst_RunRecord : public QObject
{
    Q_OBJECT

private slots:
    void recordsHowTheRunEnded_data();
    void recordsHowTheRunEnded();
};

void tst_RunRecord::recordsHowTheRunEnded_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("outcome");
    // "project name type before after" of each component on offer.
    QTest::addColumn<QStringList>("components");
    QTest::addColumn<QString>("failedPackage");

    const QStringList none;
    QTest::newRow("installed") << QStringLiteral("installed") << 0 << QStringLiteral("installed")
                               << QStringList { QStringLiteral("orvi core app 1 2") } << QString();
    QTest::newRow("rolled back") << QStringLiteral("failing") << 2 << QStringLiteral("rolled-back")
                                 << QStringList { QStringLiteral("orvi core app 1 1") }
                                 << QStringLiteral("core");
    QTest::newRow("nothing new") << QStringLiteral("nothing") << 0 << QStringLiteral("no-updates")
                                 << none << QString();
    // The exit code reaches no one when the relocation started the run: only the record tells.
    QTest::newRow("answer refused")
        << QStringLiteral("altered") << 5 << QStringLiteral("channel-refused") << none << QString();
    QTest::newRow("another run holds the locks")
        << QStringLiteral("locked") << 4 << QStringLiteral("another-run") << none << QString();
#ifndef Q_OS_WIN
    // Windows keeps the download folder in the user's own temporary folder, without modes.
    QTest::newRow("unsafe download folder")
        << QStringLiteral("unsafe") << 1 << QStringLiteral("unsafe-folder") << none << QString();
#endif
    QTest::newRow("nothing new, through the relocation")
        << QStringLiteral("relocation") << 0 << QStringLiteral("no-updates") << none << QString();
}

void tst_RunRecord::recordsHowTheRunEnded()
{
    QFETCH(QString, scenario);
    QFETCH(int, exitCode);
    QFETCH(QString, outcome);
    QFETCH(QStringList, components);
    QFETCH(QString, failedPackage);

    const bool relocation = scenario == QLatin1String("relocation");
    if (relocation && !ORVI_UPDATER_PINS_TEST_CA)
        QSKIP("The updater program trusts the test server only when built with "
              "-DORVI_UPDATE_SERVER_CA=tests/keys/tls/ca.pem, as the test command builds it");
    TestEnvironment environment;
    QVERIFY(environment.isValid());
    const QString app = environment.root() + QStringLiteral("/app");
    QVERIFY(ApplicationFolder::makeWithSample(app));
    QVERIFY(TestEnvironment::writeFile(app + QStringLiteral("/components"), "orvi core app 1\n"));
    ServedUpdate update(environment.root() + QStringLiteral("/staging"));
    QVERIFY(update.isValid());
    TestPackage core;
    // A package that says it is a plug-in fails as the offered application component.
    if (scenario == QLatin1String("failing"))
        core.addPackageElement(
            QStringLiteral("orvi"), QStringLiteral("core"), QStringLiteral("plugin"));
    core.addFile(QString(), QStringLiteral("core.dll"), "core 2")
        .addDescriptorEntry(QStringLiteral("core.xml"));
    if (scenario == QLatin1String("installed") || scenario == QLatin1String("failing"))
        QVERIFY(update.add("core", core));

    RunLock held;
    if (scenario == QLatin1String("locked")) {
        QVERIFY(QDir().mkpath(environment.tempFolder()));
        QCOMPARE(held.acquire(Platform::runLockFile(), QString(), 0), RunLock::Result::Locked);
    }
    if (scenario == QLatin1String("unsafe")) {
        QVERIFY(QDir().mkpath(environment.tempFolder()));
        QVERIFY(QFile::setPermissions(environment.tempFolder(),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::WriteOther));
    }

    const QString runId = QStringLiteral("run %1").arg(QLatin1String(QTest::currentDataTag()));
    QProcessEnvironment variables = update.environment();
    // Signed, and altered after signing, which every build refuses.
    FakeUpdateServer altered;
    FakeUpdateServer::Script script { 0, { FakeUpdateServer::NoUpdates }, 0,
        FakeUpdateServer::Ending::StayOpen };
    script.signing = FakeUpdateServer::Signing::Altered;
    altered.setScript(script);
    if (scenario == QLatin1String("altered"))
        variables.insert(QStringLiteral("ORVI_UPDATE_SERVER"),
            QStringLiteral("127.0.0.1:%1").arg(altered.port()));
    variables.insert(QStringLiteral("XDG_CACHE_HOME"), environment.cacheHome());
    variables.insert(QStringLiteral("ORVI_TEST_LOCK_TIMEOUT"), QStringLiteral("0"));
#ifndef Q_OS_WIN
    variables.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
#endif
    QString program = QStringLiteral(ORVI_CRASHABLE_UPDATER_BINARY);
    QStringList arguments { QStringLiteral("-u"), QStringLiteral("-q"), QStringLiteral("-root"),
        app, QStringLiteral("-runid"), runId };
    if (relocation) {
#ifdef Q_OS_WIN
        // The deployed updater finds its own plug-ins, as on a user's machine.
        variables.remove(QStringLiteral("QT_PLUGIN_PATH"));
        variables.remove(QStringLiteral("QT_QPA_PLATFORM"));
        program = app + QStringLiteral("/updater.exe");
        QVERIFY(QFile::copy(QStringLiteral(ORVI_DEPLOY_DIR "/updater.exe"), program));
        for (const QString &file : Platform::relocationFiles().mid(1)) {
            QVERIFY(QDir().mkpath(QFileInfo(app + QLatin1Char('/') + file).path()));
            QVERIFY(QFile::copy(
                QStringLiteral(ORVI_DEPLOY_DIR "/") + file, app + QLatin1Char('/') + file));
        }
#else
        program = app + QStringLiteral("/updater");
        QVERIFY(QFile::copy(QStringLiteral(ORVI_UPDATER_BINARY), program));
#endif
        arguments = QStringList { QStringLiteral("-q"), QStringLiteral("-runid"), runId };
    }
    QProcess updater;
    updater.setProcessEnvironment(variables);
    updater.start(program, arguments);
    QVERIFY2(updater.waitForStarted(), qPrintable(updater.errorString()));
    QSignalSpy finished(&updater, &QProcess::finished);
    // The servers answer from this thread's event loop.
    QVERIFY2(finished.wait(60000), "the updater did not end by itself");
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), relocation ? 0 : exitCode);

    const auto record = [] {
        QFile file(RunRecord::filePath());
        return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                              : QJsonObject();
    };
    // The relocation run's own record says the copy runs; the copy's replaces it as it ends
    // (a detached start under Wine on a busy machine can take most of a minute).
    QTRY_COMPARE_WITH_TIMEOUT(
        record().value(QStringLiteral("outcome")).toString(), outcome, 180000);
    const QJsonObject written = record();
    QCOMPARE(written.value(QStringLiteral("format")).toInt(), 1);
    QCOMPARE(written.value(QStringLiteral("runId")).toString(), runId);
    QCOMPARE(written.value(QStringLiteral("exitCode")).toInt(-1), exitCode);
    const QDateTime time
        = QDateTime::fromString(written.value(QStringLiteral("time")).toString(), Qt::ISODate);
    QVERIFY(qAbs(time.secsTo(QDateTime::currentDateTimeUtc())) < 120);
    QStringList offered;
    for (const QJsonValue &value : written.value(QStringLiteral("components")).toArray()) {
        QStringList fields;
        for (const char *name : { "project", "name", "type", "before", "after" })
            fields << value.toObject().value(QLatin1String(name)).toString();
        offered << fields.join(QLatin1Char(' '));
    }
    QCOMPARE(offered, components);
    QCOMPARE(written.value(QStringLiteral("failedPackage")).toString(), failedPackage);
    // A failure says why; a run that went as asked has nothing to say.
    const bool failed = exitCode != 0;
    QCOMPARE(!written.value(QStringLiteral("reason")).toString().isEmpty(), failed);
    if (scenario == QLatin1String("unsafe"))
        QFile::setPermissions(
            environment.tempFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QTEST_MAIN(tst_RunRecord)
#include "tst_runrecord.moc"
