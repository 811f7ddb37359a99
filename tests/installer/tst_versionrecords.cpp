#include "testenvironment.h"
#include "versionrecords.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <memory>

/*
 * The record of installed versions is kept per real root folder and is never lost to a file
 * that cannot be read: such a file is set aside, and until a good one is written it counts
 * as no record.
 */
class tst_VersionRecords : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void unreadableFileIsSetAside_data();
    void unreadableFileIsSetAside();
#ifndef Q_OS_WIN
    // Windows makes shortcuts, not links, of QFile::link.
    void rootThroughALink_data();
    void rootThroughALink();
#endif

private:
    QString file() const
    {
        return m_folder + QStringLiteral("/versions");
    }

    std::unique_ptr<TestEnvironment> m_environment;
    QString m_folder;
    QString m_root;
};

void tst_VersionRecords::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    m_folder = m_environment->root() + QStringLiteral("/state");
    m_root = m_environment->root() + QStringLiteral("/app");
    QVERIFY(QDir().mkpath(m_root));
    QVERIFY(VersionRecords(m_folder).record({ { m_root, "orvi", "emoticons", "plugin", "9" } }));
}

void tst_VersionRecords::cleanup()
{
    m_environment.reset();
}

void tst_VersionRecords::unreadableFileIsSetAside_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QByteArray>("before"); // the emoticons version read before the write
    QTest::addColumn<bool>("setAside");

    QTest::newRow("good: kept") << QString() << QByteArray("9") << false;
    QTest::newRow("deleted") << QStringLiteral("delete") << QByteArray() << false;
    QTest::newRow("cut short") << QStringLiteral("cut") << QByteArray() << true;
    QTest::newRow("a folder") << QStringLiteral("folder") << QByteArray() << true;
#ifndef Q_OS_WIN
    QTest::newRow("a link to a good file") << QStringLiteral("link") << QByteArray() << true;
#endif
}

void tst_VersionRecords::unreadableFileIsSetAside()
{
    QFETCH(QString, damage);
    QFETCH(QByteArray, before);
    QFETCH(bool, setAside);

    const QByteArray good = TestEnvironment::readFile(file());
    const QString target = m_environment->root() + QStringLiteral("/elsewhere");
    if (!damage.isEmpty())
        QVERIFY(QFile::remove(file()));
    if (damage == QLatin1String("cut"))
        QVERIFY(TestEnvironment::writeFile(file(), good.chopped(2)));
    else if (damage == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(file()));
    else if (damage == QLatin1String("link"))
        QVERIFY(TestEnvironment::writeFile(target, good) && QFile::link(target, file()));
    const QString aside = file() + QStringLiteral(".unreadable-1");
    // A name already taken is never overwritten.
    QVERIFY(TestEnvironment::writeFile(aside, "taken"));
    const QByteArray kept = TestEnvironment::readFile(file());
    VersionRecords records(m_folder);
    QCOMPARE(records.recorded(m_root, "orvi", "emoticons", "plugin"), before);

    QVERIFY2(records.record({ { m_root, "orvi", "core", "app", "2.0" } }),
        qPrintable(records.errorText()));

    QCOMPARE(records.recorded(m_root, "orvi", "core", "app"), QByteArray("2.0"));
    QCOMPARE(records.recorded(m_root, "orvi", "emoticons", "plugin"), before);
    QCOMPARE(TestEnvironment::readFile(aside), QByteArray("taken"));
    const QString second = file() + QStringLiteral(".unreadable-2");
    QCOMPARE(QFileInfo::exists(second) || QFileInfo(second).isSymLink(), setAside);
    if (damage == QLatin1String("cut"))
        QCOMPARE(TestEnvironment::readFile(second), kept);
    if (damage == QLatin1String("link"))
        QCOMPARE(TestEnvironment::readFile(target), good);
}

#ifndef Q_OS_WIN
void tst_VersionRecords::rootThroughALink_data()
{
    QTest::addColumn<bool>("recordThroughLink");
    QTest::addColumn<bool>("oldKey"); // written by hand under the link's name

    QTest::newRow("recorded through the link") << true << false;
    QTest::newRow("recorded at the real folder") << false << false;
    QTest::newRow("an older record under the link's name") << true << true;
}

void tst_VersionRecords::rootThroughALink()
{
    QFETCH(bool, recordThroughLink);
    QFETCH(bool, oldKey);

    const QString link = m_environment->root() + QStringLiteral("/link");
    QVERIFY(QFile::link(m_root, link));
    VersionRecords records(m_folder);
    if (oldKey) {
        QVERIFY(TestEnvironment::writeFile(file(),
            "orvi-versions 1\n" + VersionRecords::toText({ { link, "orvi", "core", "app", "2.5" } })
                + "end\n"));
    } else {
        QVERIFY(records.record(
            { { recordThroughLink ? link : m_root, "orvi", "core", "app", "2.5" } }));
    }

    for (const QString &root : { link, m_root, m_root + QStringLiteral("/") })
        QCOMPARE(records.recorded(root, "orvi", "core", "app"), QByteArray("2.5"));
    // A later record replaces the earlier one under whichever name that was kept.
    QVERIFY(records.record({ { m_root, "orvi", "core", "app", "2.4" } }));
    QCOMPARE(records.recorded(link, "orvi", "core", "app"), QByteArray("2.4"));
}
#endif

QTEST_GUILESS_MAIN(tst_VersionRecords)
#include "tst_versionrecords.moc"
