#include "entrybuilder.h"
#include "orviupdaterengine.h"
#include "testenvironment.h"
#include "updateentry.h"

#include <QDir>
#include <QSignalSpy>
#include <QtTest>

class tst_OrviUpdaterEngine : public QObject
{
    Q_OBJECT

private slots:
    void newEngine();
    void catalogueIsOwnedByTheEngine();
    void updateEntryKeepsItsFields();
};

namespace {
UpdateEntry *entry(const std::string &name)
{
    return EntryBuilder().name(name).link("http://h/" + name + ".zip").make();
}
} // namespace

void tst_OrviUpdaterEngine::newEngine()
{
    TestEnvironment environment;
    const QString folder = environment.tempFolder() + QStringLiteral("/tupdates/");
    QVERIFY(!QDir(folder).exists());

    OrviUpdaterEngine engine;

    QVERIFY(!engine.hasUpdates());
    QVERIFY(engine.updates().isEmpty());
    QVERIFY(engine.details().isEmpty());
    QVERIFY(!engine.installSucceeded());
    QCOMPARE(engine.downloadState(), 0);
    QCOMPARE(engine.downloadFolder(), folder);
    QVERIFY(QDir(folder).exists());
}

void tst_OrviUpdaterEngine::catalogueIsOwnedByTheEngine()
{
    TestEnvironment environment;
    auto engine = std::make_unique<OrviUpdaterEngine>();
    const QVector<UpdateEntry *> first { entry("a"), entry("b") };
    engine->adoptUpdates(first);
    QVERIFY(engine->hasUpdates());
    QCOMPARE(engine->updates(), first);

    // Refilling deletes the old entries; destruction deletes the new ones. The sanitizer
    // build turns a double delete or a leak here into a failure.
    const QVector<UpdateEntry *> second { entry("c"), nullptr, entry("d") };
    engine->adoptUpdates(second);
    QCOMPARE(engine->updates().size(), 3);
    QCOMPARE(engine->updates().at(2)->name(), std::string("d"));
    engine.reset();
}

void tst_OrviUpdaterEngine::updateEntryKeepsItsFields()
{
    const UpdateEntry update("p", "n", "plugin", "1.2", "opis \xc5\x82", "(c)", "Ala", "w", "e",
        "zmiany", "http://h/x.zip", true, 4294967295u);
    QCOMPARE(update.project(), std::string("p"));
    QCOMPARE(update.name(), std::string("n"));
    QCOMPARE(update.type(), std::string("plugin"));
    QCOMPARE(update.version(), std::string("1.2"));
    QCOMPARE(update.description(), std::string("opis \xc5\x82"));
    QCOMPARE(update.copyrights(), std::string("(c)"));
    QCOMPARE(update.author(), std::string("Ala"));
    QCOMPARE(update.webpage(), std::string("w"));
    QCOMPARE(update.email(), std::string("e"));
    QCOMPARE(update.changelog(), std::string("zmiany"));
    QCOMPARE(update.link(), std::string("http://h/x.zip"));
    QCOMPARE(update.critical(), true);
    QCOMPARE(update.timestamp(), 4294967295u);
}

QTEST_GUILESS_MAIN(tst_OrviUpdaterEngine)
#include "tst_orviupdaterengine.moc"
