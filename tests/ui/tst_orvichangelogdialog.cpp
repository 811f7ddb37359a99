#include "boxrecorder.h"
#include "embeddedresources.h"
#include "entrybuilder.h"
#include "fakehttpserver.h"
#include "formloader.h"
#include "messageboxhandler.h"
#include "orvichangelogdialog.h"
#include "orviupdaterengine.h"
#include "testenvironment.h"
#include "toplevelwindows.h"
#include "updateentry.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QTranslator>
#include <QtTest>

#include <memory>

namespace {

UpdateEntry *entry(const QByteArray &name, const QByteArray &description, const QByteArray &version,
    const QByteArray &changelog, const QString &link = QString())
{
    return EntryBuilder()
        .name(name)
        .version(version)
        .description(description)
        .changelog(changelog)
        .link(link)
        .make();
}

} // namespace

class TestOrviChangelogDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void changelogText_data();
    void changelogText();
    void foldedAtStart();
    void toggleFoldsAndUnfolds();
    void toggleTextsAreTranslated();
    void leavingWithoutDownloadEndsTheUpdater_data();
    void leavingWithoutDownloadEndsTheUpdater();
    void downloadNowHandsOverToTheDownload();

private:
    OrviChangelogDialog *openDialog();
    QWidget *form() const
    {
        return TopLevelWindows::visible(QStringLiteral("Updater_Changelog_MainWindow"));
    }
    template<class T>
    T *widget(const char *name) const
    {
        return FormLoader::widget<T>(form(), QString::fromLatin1(name));
    }

    std::unique_ptr<TestEnvironment> m_environment;
    std::unique_ptr<FakeHttpServer> m_server;
    std::unique_ptr<OrviUpdaterEngine> m_engine;
    QPointer<OrviChangelogDialog> m_dialog;
    BoxRecorder m_boxes;
};

void TestOrviChangelogDialog::initTestCase()
{
    EmbeddedResources::registerBundle();
}

void TestOrviChangelogDialog::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    m_server = std::make_unique<FakeHttpServer>();
    QVERIFY(m_server->listen());
    m_server->setResponse("/core.zip", FakeHttpServer::Response::ok(QByteArray(2000, 'c')));
    m_server->setResponse("/emoticons.zip", FakeHttpServer::Response::ok(QByteArray(3000, 'e')));
    EngineSettings settings;
    // The transfer is under test here; the signature check has tests of its own.
    settings.unsignedAllowed = true;
    m_engine = std::make_unique<OrviUpdaterEngine>(settings);
    m_boxes.clear();
}

void TestOrviChangelogDialog::cleanup()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        widget->close();
    QTRY_VERIFY_WITH_TIMEOUT(QApplication::topLevelWidgets().isEmpty(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(m_dialog.isNull(), 5000);
    m_engine.reset();
    m_server.reset();
    m_environment.reset();
}

OrviChangelogDialog *TestOrviChangelogDialog::openDialog()
{
    m_dialog = new OrviChangelogDialog(m_engine.get());
    return m_dialog;
}

void TestOrviChangelogDialog::changelogText_data()
{
    QTest::addColumn<QList<QByteArrayList>>("updates"); // description, version, changelog
    QTest::addColumn<QString>("text");

    QTest::newRow("one update") << QList<QByteArrayList> {
        { "Orvi core", "7.1.2", "Faster start\nFewer crashes" }
    } << QStringLiteral("Orvi core\nZmiany w wersji 7.1.2\nFaster start\nFewer crashes");
    QTest::newRow("empty description") << QList<QByteArrayList> { { "", "2.0", "One fix" } }
                                       << QStringLiteral("\nZmiany w wersji 2.0\nOne fix");
    QTest::newRow("all fields empty") << QList<QByteArrayList> { { "", "", "" },
        { "", "", "" } } << QStringLiteral("\nZmiany w wersji \n\n\n\nZmiany w wersji \n");
    QTest::newRow("three updates") << QList<QByteArrayList> { { "Core", "1", "a" },
        { "Emoticons", "2", "b" }, { "Sounds", "3", "c" } }
                                   << QStringLiteral("Core\nZmiany w wersji 1\na\n\n"
                                                     "Emoticons\nZmiany w wersji 2\nb\n\n"
                                                     "Sounds\nZmiany w wersji 3\nc");
    QTest::newRow("polish letters as UTF-8")
        << QList<QByteArrayList> { { "Zażółć gęślą jaźń", "1.0 beta",
               "Poprawiono wyświetlanie znaków ĄĆĘŁŃÓŚŹŻ" } }
        << QString::fromUtf8("Zażółć gęślą jaźń\nZmiany w wersji 1.0 beta\n"
                             "Poprawiono wyświetlanie znaków ĄĆĘŁŃÓŚŹŻ");
}

void TestOrviChangelogDialog::changelogText()
{
    QFETCH(QList<QByteArrayList>, updates);
    QFETCH(QString, text);

    QVector<UpdateEntry *> entries;
    for (const QByteArrayList &update : updates)
        entries << entry("component", update.at(0), update.at(1), update.at(2));
    m_engine->adoptUpdates(entries);

    openDialog();
    QCOMPARE(widget<QPlainTextEdit>("Updater_Changelog_Details")->toPlainText(), text);
}

void TestOrviChangelogDialog::foldedAtStart()
{
    m_engine->adoptUpdates({ entry("core", "Core", "7.1", "Fixes") });
    openDialog();

    QWidget *window = form();
    QVERIFY(window);
    QVERIFY(window->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(window->windowTitle(), QStringLiteral("Update"));
    QCOMPARE(window->width(), 450);
    QVERIFY(!widget<QPlainTextEdit>("Updater_Changelog_Details")->isVisible());
    QCOMPARE(widget<QPushButton>("Updater_Changelog_ViewChangelog")->text(),
        QStringLiteral("Show changelog"));
    // Opened at its compact size, not at the form's designed 218 pixels.
    QCOMPARE(window->height(), window->sizeHint().height());
    QVERIFY(window->height() < 218);
    QCOMPARE(TopLevelWindows::visibleNames(),
        QStringList { QStringLiteral("Updater_Changelog_MainWindow") });
}

void TestOrviChangelogDialog::toggleFoldsAndUnfolds()
{
    m_engine->adoptUpdates({ entry("core", "Core", "7.1", "Fixes") });
    openDialog();
    QWidget *window = form();
    auto *details = widget<QPlainTextEdit>("Updater_Changelog_Details");
    auto *link = widget<QPushButton>("Updater_Changelog_ViewChangelog");
    const int foldedHeight = window->height();

    QTest::mouseClick(link, Qt::LeftButton);
    QVERIFY(details->isVisible());
    QCOMPARE(link->text(), QStringLiteral("Hide changelog"));
    QVERIFY2(window->height() > foldedHeight, qPrintable(QString::number(window->height())));
    QCOMPARE(window->width(), 450);
    QCOMPARE(details->toPlainText(), QStringLiteral("Core\nZmiany w wersji 7.1\nFixes"));

    QTest::mouseClick(link, Qt::LeftButton);
    QVERIFY(!details->isVisible());
    QCOMPARE(link->text(), QStringLiteral("Show changelog"));
    QCOMPARE(window->height(), foldedHeight);
    QCOMPARE(window->width(), 450);
    QVERIFY(window->isVisible());
}

void TestOrviChangelogDialog::toggleTextsAreTranslated()
{
    QTranslator translator;
    QVERIFY(translator.load(QStringLiteral(":/languages/orvi_pl_PL.qm")));
    QCoreApplication::installTranslator(&translator);
    m_engine->adoptUpdates({ entry("core", "Core", "7.1", "Fixes") });
    openDialog();
    auto *link = widget<QPushButton>("Updater_Changelog_ViewChangelog");

    QCOMPARE(link->text(), QString::fromUtf8("Pokaż listę zmian"));
    QTest::mouseClick(link, Qt::LeftButton);
    QCOMPARE(link->text(), QString::fromUtf8("Ukryj listę zmian"));
    QTest::mouseClick(link, Qt::LeftButton);
    QCOMPARE(link->text(), QString::fromUtf8("Pokaż listę zmian"));
    QCoreApplication::removeTranslator(&translator);
}

void TestOrviChangelogDialog::leavingWithoutDownloadEndsTheUpdater_data()
{
    QTest::addColumn<bool>("byButton");
    QTest::newRow("Download later") << true;
    QTest::newRow("title-bar close") << false;
}

void TestOrviChangelogDialog::leavingWithoutDownloadEndsTheUpdater()
{
    QFETCH(bool, byButton);

    m_engine->adoptUpdates(
        { entry("core", "Core", "7.1", "Fixes", m_server->url(QStringLiteral("/core.zip"))) });
    openDialog();
    QTimer::singleShot(0, this, [this, byButton] {
        if (byButton)
            QTest::mouseClick(
                widget<QPushButton>("Updater_Changelog_DownloadLater"), Qt::LeftButton);
        else
            form()->close();
    });
    bool gaveUp = false;
    QTimer failsafe;
    failsafe.setSingleShot(true);
    connect(&failsafe, &QTimer::timeout, this, [&gaveUp] {
        gaveUp = true;
        QCoreApplication::quit();
    });
    failsafe.start(20000);

    QCOMPARE(QApplication::exec(), 0);
    QVERIFY2(!gaveUp, "the event loop did not end when the window closed");
    QVERIFY(TopLevelWindows::visibleNames().isEmpty());
    QCOMPARE(m_engine->downloadState(), PackageDownload::State::Idle);
    QTRY_VERIFY_WITH_TIMEOUT(m_dialog.isNull(), 5000);
    QVERIFY(m_server->requests().isEmpty());
    QVERIFY(m_boxes.boxes().isEmpty());
}

void TestOrviChangelogDialog::downloadNowHandsOverToTheDownload()
{
    m_engine->adoptUpdates(
        { entry("core", "Core", "7.1", "Fixes", m_server->url(QStringLiteral("/core.zip"))),
            entry("emoticons", "Emoticons", "2.0", "New set",
                m_server->url(QStringLiteral("/emoticons.zip"))) });
    openDialog();
    QSignalSpy finished(m_engine.get(), &OrviUpdaterEngine::downloadFinished);
    // Connected before the download window exists, so this runs before it hands over to the
    // installation (which finds no real packages here and says so).
    qsizetype boxesDuringDownload = -1;
    connect(m_engine.get(), &OrviUpdaterEngine::downloadFinished, this,
        [&] { boxesDuringDownload = m_boxes.boxes().size(); });

    QTest::mouseClick(widget<QPushButton>("Updater_Changelog_DownloadNow"), Qt::LeftButton);
    // The download window is up before control returns to the event loop, and the
    // download waits for it.
    QCOMPARE(TopLevelWindows::visibleNames(),
        QStringList { QStringLiteral("Updater_Download_MainWindow") });
    QCOMPARE(m_engine->downloadState(), PackageDownload::State::Idle);
    QVERIFY(m_server->requests().isEmpty());

    QVERIFY(finished.wait(10000));
    QCOMPARE(m_server->requestLines(),
        (QStringList { QStringLiteral("HEAD /core.zip"), QStringLiteral("HEAD /emoticons.zip"),
            QStringLiteral("GET /core.zip"), QStringLiteral("GET /emoticons.zip") }));
    QTRY_VERIFY_WITH_TIMEOUT(m_dialog.isNull(), 5000);
    QCOMPARE(boxesDuringDownload, 0);
}

QTEST_MAIN(TestOrviChangelogDialog)
#include "tst_orvichangelogdialog.moc"
