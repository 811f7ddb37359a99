#include "boxrecorder.h"
#include "embeddedresources.h"
#include "entrybuilder.h"
#include "fakehttpserver.h"
#include "formloader.h"
#include "messageboxhandler.h"
#include "orvidownloaddialog.h"
#include "orviupdaterengine.h"
#include "testenvironment.h"
#include "toplevelwindows.h"
#include "updateentry.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTranslator>
#include <QWindow>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

UpdateEntry *entry(const QByteArray &name, const QString &link)
{
    return EntryBuilder().name(name).version("1.0").link(link).make();
}

// Runs the event loop until the last window closes; false when it had to be ended after
// timeoutMs instead.
bool runUntilLastWindowCloses(int timeoutMs = 20000)
{
    bool gaveUp = false;
    QTimer failsafe;
    failsafe.setSingleShot(true);
    QObject::connect(&failsafe, &QTimer::timeout, [&gaveUp] {
        gaveUp = true;
        QCoreApplication::quit();
    });
    failsafe.start(timeoutMs);
    QApplication::exec();
    return !gaveUp;
}

// Records what the engine's state is when a watched window is hidden, as it closes.
class CloseWatcher : public QObject
{
public:
    explicit CloseWatcher(std::function<void()> onClose) : m_onClose(std::move(onClose)) { }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Hide)
            m_onClose();
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> m_onClose;
};

} // namespace

class TestOrviDownloadDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startsOnTheNextPass();
    void barAndLabelFollowTheEngine();
    void downloadDrivesBarAndLabel();
    void closingAbortsTheDownload_data();
    void closingAbortsTheDownload();
    void tricklingServerEndsInTheErrorBox();
    void errorClosesWindowBeforeTheBox_data();
    void errorClosesWindowBeforeTheBox();
    void finishedHandsOverToTheInstallation();
    void signalsAfterTheWindowClosedAreIgnored();

private:
    void openDialog();
    QWidget *form() const
    {
        return TopLevelWindows::visible(QStringLiteral("Updater_Download_MainWindow"));
    }
    template<class T>
    T *widget(const char *name) const
    {
        return FormLoader::widget<T>(form(), QString::fromLatin1(name));
    }

    std::unique_ptr<TestEnvironment> m_environment;
    std::unique_ptr<FakeHttpServer> m_server;
    std::unique_ptr<OrviUpdaterEngine> m_engine;
    QPointer<OrviDownloadDialog> m_dialog;
    BoxRecorder m_boxes;
    // Whether a window was visible while each box was up.
    QList<QStringList> m_windowsAtBox;
};

void TestOrviDownloadDialog::initTestCase()
{
    EmbeddedResources::registerBundle();
}

void TestOrviDownloadDialog::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    m_server = std::make_unique<FakeHttpServer>();
    QVERIFY(m_server->listen());
    EngineSettings settings;
    // The transfer is under test here; the signature check has tests of its own.
    settings.unsignedAllowed = true;
    m_engine = std::make_unique<OrviUpdaterEngine>(settings);
    m_engine->adoptUpdates({ entry("orvi-core", m_server->url(QStringLiteral("/core.zip"))),
        entry("orvi-emoticons", m_server->url(QStringLiteral("/emoticons.zip"))) });
    m_server->setResponse("/core.zip", FakeHttpServer::Response::ok(QByteArray(4000, 'c')));
    m_server->setResponse("/emoticons.zip", FakeHttpServer::Response::ok(QByteArray(6000, 'e')));
    m_boxes.clear();
    m_windowsAtBox.clear();
    m_boxes.setHook([this](const MessageBoxHandler::Box &) {
        m_windowsAtBox.append(TopLevelWindows::visibleNames());
    });
}

void TestOrviDownloadDialog::cleanup()
{
    if (m_engine)
        m_engine->abortDownload();
    for (QWidget *widget : QApplication::topLevelWidgets())
        widget->close();
    QTRY_VERIFY_WITH_TIMEOUT(QApplication::topLevelWidgets().isEmpty(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(m_dialog.isNull(), 5000);
    m_engine.reset();
    m_server.reset();
    m_environment.reset();
}

void TestOrviDownloadDialog::openDialog()
{
    m_dialog = new OrviDownloadDialog(m_engine.get());
}

void TestOrviDownloadDialog::startsOnTheNextPass()
{
    openDialog();

    QCOMPARE(TopLevelWindows::visibleNames(),
        QStringList { QStringLiteral("Updater_Download_MainWindow") });
    QVERIFY(form()->testAttribute(Qt::WA_DeleteOnClose));
    auto *bar = widget<QProgressBar>("Updater_Download_Progress");
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(
        widget<QLabel>("Updater_Download_ProgressText")->text(), QStringLiteral("Downloading..."));
    QCOMPARE(m_engine->downloadState(), PackageDownload::State::Idle);

    QCoreApplication::processEvents();
    QVERIFY(m_engine->downloadState() != PackageDownload::State::Idle);
    QTRY_VERIFY_WITH_TIMEOUT(!m_server->requests().isEmpty(), 5000);
    QCOMPARE(m_server->requestLines().first(), QStringLiteral("HEAD /core.zip"));
}

void TestOrviDownloadDialog::barAndLabelFollowTheEngine()
{
    openDialog();
    auto *bar = widget<QProgressBar>("Updater_Download_Progress");
    auto *label = widget<QLabel>("Updater_Download_ProgressText");

    emit m_engine->downloadProgress(42);
    QCOMPARE(bar->value(), 42);
    emit m_engine->downloadFile(QStringLiteral("orvi-emoticons"));
    QCOMPARE(label->text(), QStringLiteral("orvi-emoticons"));
    // A full bar alone does not end the window; the end of the download does.
    emit m_engine->downloadProgress(100);
    QCOMPARE(bar->value(), 100);
    QVERIFY(form());
}

void TestOrviDownloadDialog::downloadDrivesBarAndLabel()
{
    FakeHttpServer::Response slow = FakeHttpServer::Response::ok(QByteArray(6000, 'e'));
    slow.chunkSize = 1500;
    slow.chunkInterval = 10;
    m_server->setResponse("/emoticons.zip", slow);
    openDialog();
    QProgressBar *bar = widget<QProgressBar>("Updater_Download_Progress");
    QLabel *label = widget<QLabel>("Updater_Download_ProgressText");

    // Connected after the dialog, so these run once the dialog has taken each signal.
    QList<int> sent;
    QList<int> shown;
    QStringList labels;
    qsizetype boxesDuringDownload = 0;
    connect(m_engine.get(), &OrviUpdaterEngine::downloadProgress, this, [&](int done) {
        sent << done;
        shown << bar->value();
        boxesDuringDownload = m_boxes.boxes().size();
    });
    connect(m_engine.get(), &OrviUpdaterEngine::downloadFile, this,
        [&](const QString &) { labels << label->text(); });
    QSignalSpy finished(m_engine.get(), &OrviUpdaterEngine::downloadFinished);

    QVERIFY(finished.wait(10000));
    QCOMPARE(
        labels, (QStringList { QStringLiteral("orvi-core"), QStringLiteral("orvi-emoticons") }));
    QVERIFY(!sent.isEmpty());
    QCOMPARE(shown, sent);
    QCOMPARE(sent.last(), 100);
    // Every package is in: the window closes and the installation takes over.
    QVERIFY(!form());
    QCOMPARE(boxesDuringDownload, 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_dialog.isNull(), 5000);
}

void TestOrviDownloadDialog::closingAbortsTheDownload_data()
{
    QTest::addColumn<bool>("titleBar");
    QTest::newRow("Cancel") << false;
    QTest::newRow("title-bar close") << true;
}

void TestOrviDownloadDialog::closingAbortsTheDownload()
{
    QFETCH(bool, titleBar);

    // The second package stalls halfway, so the download is still running at the close.
    FakeHttpServer::Response stalled = FakeHttpServer::Response::ok(QByteArray(6000, 'e'));
    stalled.sendLimit = 3000;
    stalled.closeAtLimit = false;
    m_server->setResponse("/emoticons.zip", stalled);
    openDialog();

    PackageDownload::State stateAtClick = PackageDownload::State::Idle;
    PackageDownload::State stateAtHide = PackageDownload::State::Idle;
    bool partialAtClick = false;
    CloseWatcher watcher([&] { stateAtHide = m_engine->downloadState(); });
    form()->installEventFilter(&watcher);
    // Closed once part of the second package is on disk (the first is 40 % of the whole).
    connect(m_engine.get(), &OrviUpdaterEngine::downloadProgress, this, [&](int done) {
        if (done <= 40 || stateAtClick != PackageDownload::State::Idle)
            return;
        stateAtClick = m_engine->downloadState();
        partialAtClick
            = QFile::exists(m_engine->downloadFolder() + QStringLiteral("/emoticons.zip"));
        QTimer::singleShot(0, this, [&] {
            // The window system's close, as the title bar's button asks for it.
            if (titleBar)
                form()->windowHandle()->close();
            else
                QTest::mouseClick(widget<QPushButton>("Updater_Download_Cancel"), Qt::LeftButton);
        });
    });

    QVERIFY2(runUntilLastWindowCloses(), "the updater did not end after the window closed");
    QCOMPARE(stateAtClick, PackageDownload::State::Downloading);
    QVERIFY(partialAtClick);
    // The engine stopped before the window went away.
    QCOMPARE(stateAtHide, PackageDownload::State::Aborted);
    QCOMPARE(m_engine->downloadState(), PackageDownload::State::Aborted);
    QVERIFY(TopLevelWindows::visibleNames().isEmpty());
    QVERIFY(m_boxes.boxes().isEmpty());
    // Neither the complete package nor the partial one is left behind.
    for (const QString &name : { QStringLiteral("/core.zip"), QStringLiteral("/emoticons.zip") })
        QVERIFY2(!QFile::exists(m_engine->downloadFolder() + name), qPrintable(name));
    QTRY_VERIFY_WITH_TIMEOUT(m_dialog.isNull(), 5000);
}

void TestOrviDownloadDialog::tricklingServerEndsInTheErrorBox()
{
    // Ten bytes a second never let the stall time pass; the minimum rate ends each GET, and
    // the HEAD that is never answered (it only leaves the size unknown).
    EngineSettings settings;
    settings.unsignedAllowed = true;
    settings.downloadLimits.rateWindow = 200;
    m_engine = std::make_unique<OrviUpdaterEngine>(settings);
    const QString link = m_server->url(QStringLiteral("/core.zip"));
    m_engine->adoptUpdates({ entry("orvi-core", link) });
    FakeHttpServer::Response trickle = FakeHttpServer::Response::ok(QByteArray(4000, 'c'));
    trickle.chunkSize = 1;
    trickle.chunkInterval = 100;
    m_server->setResponse("/core.zip", trickle);
    FakeHttpServer::Response silent;
    silent.silent = true;
    m_server->setHeadResponse("/core.zip", silent);
    QElapsedTimer clock;
    clock.start();
    openDialog();

    QVERIFY2(runUntilLastWindowCloses(), "the trickle did not end in the error box");
    // The HEAD, the first GET and three resumes, each at most two windows long.
    QCOMPARE(m_server->requestLines().count(QStringLiteral("GET /core.zip")), 4);
    QVERIFY2(clock.elapsed() < 5 * 2 * 200 + 2000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(m_boxes.boxes().size(), 1);
    QCOMPARE(m_boxes.boxes().first().text,
        QStringLiteral("The server 127.0.0.1:%1 sent %2 too slowly, so the download was given up.")
            .arg(m_server->port())
            .arg(link));
}

void TestOrviDownloadDialog::errorClosesWindowBeforeTheBox_data()
{
    QTest::addColumn<bool>("fromServer");
    QTest::newRow("engine reports a failure") << false;
    QTest::newRow("server answers 404") << true;
}

void TestOrviDownloadDialog::errorClosesWindowBeforeTheBox()
{
    QFETCH(bool, fromServer);

    // The title is looked up in the dialog's own context, where the catalogue has nothing.
    QTranslator translator;
    QVERIFY(translator.load(QStringLiteral(":/languages/orvi_pl_PL.qm")));
    QCoreApplication::installTranslator(&translator);
    QSignalSpy errors(m_engine.get(), &OrviUpdaterEngine::error);
    if (fromServer)
        m_server->setResponse("/emoticons.zip", FakeHttpServer::Response::withStatus(404));
    openDialog();

    if (fromServer) {
        QVERIFY2(runUntilLastWindowCloses(), "the updater did not end after the error box");
    } else {
        emit m_engine->error(QStringLiteral("The disk is full."));
        QVERIFY(!form());
    }
    QCoreApplication::removeTranslator(&translator);

    QCOMPARE(errors.count(), 1);
    const QString text = errors.first().first().toString();
    QVERIFY(!text.isEmpty());
    QCOMPARE(m_boxes.boxes().size(), 1);
    const MessageBoxHandler::Box &box = m_boxes.boxes().first();
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.title, QStringLiteral("Update"));
    QCOMPARE(box.text, text);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.defaultButton, QMessageBox::NoButton);
    QCOMPARE(m_windowsAtBox.first(), QStringList());
    QTRY_VERIFY_WITH_TIMEOUT(m_dialog.isNull(), 5000);
}

void TestOrviDownloadDialog::finishedHandsOverToTheInstallation()
{
    openDialog();
    QSignalSpy installFinished(m_engine.get(), &OrviUpdaterEngine::installFinished);

    emit m_engine->downloadFinished();

    // The installation ran within the hand-over; its summary is the one window left.
    QCOMPARE(installFinished.count(), 1);
    QCOMPARE(TopLevelWindows::visibleNames(),
        QStringList { QStringLiteral("Updater_Summary_MainWindow") });
    QTRY_VERIFY_WITH_TIMEOUT(m_dialog.isNull(), 5000);
}

void TestOrviDownloadDialog::signalsAfterTheWindowClosedAreIgnored()
{
    openDialog();
    QPointer<QWidget> window = form();
    window->close();

    // The engine may still report in the pass in which the window closed, and after the
    // window is gone while this object waits for its deletion.
    emit m_engine->downloadFinished();
    emit m_engine->error(QStringLiteral("late"));
    QTRY_VERIFY_WITH_TIMEOUT(window.isNull(), 5000);
    if (m_dialog) {
        emit m_engine->downloadFinished();
        emit m_engine->error(QStringLiteral("later"));
    }

    QVERIFY(TopLevelWindows::visibleNames().isEmpty());
    QVERIFY(m_boxes.boxes().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(m_dialog.isNull(), 5000);
}

QTEST_MAIN(TestOrviDownloadDialog)
#include "tst_orvidownloaddialog.moc"
