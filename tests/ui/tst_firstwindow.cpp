#include "boxrecorder.h"
#include "embeddedresources.h"
#include "entrybuilder.h"
#include "fakehttpserver.h"
#include "messageboxhandler.h"
#include "orviupdaterengine.h"
#include "startup.h"
#include "testenvironment.h"
#include "updateentry.h"

#include <QApplication>
#include <QTimer>
#include <QtTest>

#include <memory>

// Which window an update run with updates opens first, and that the run then lives as long
// as its windows.

namespace {

// Records the name of every window that is shown.
class ShownWindows : public QObject
{
public:
    QStringList names;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && watched->isWidgetType()
            && static_cast<QWidget *>(watched)->isWindow()) {
            names << watched->objectName();
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

class TestFirstWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void firstWindow_data();
    void firstWindow();
};

void TestFirstWindow::initTestCase()
{
    EmbeddedResources::registerBundle();
}

void TestFirstWindow::firstWindow_data()
{
    QTest::addColumn<bool>("quiet");
    QTest::addColumn<QString>("window");
    QTest::newRow("offer") << false << "Updater_Changelog_MainWindow";
    QTest::newRow("-q: download") << true << "Updater_Download_MainWindow";
}

void TestFirstWindow::firstWindow()
{
    QFETCH(bool, quiet);
    QFETCH(QString, window);

    TestEnvironment environment;
    QVERIFY(environment.isValid());
    FakeHttpServer server;
    QVERIFY(server.listen());
    // The package never finishes, so only the user can end this run.
    FakeHttpServer::Response stalled = FakeHttpServer::Response::ok(QByteArray(1000, 'p'));
    stalled.sendLimit = 10;
    stalled.closeAtLimit = false;
    server.setResponse("/core.zip", stalled);
    const std::string link = server.url(QStringLiteral("/core.zip")).toStdString();
    BoxRecorder boxes;

    ShownWindows shown;
    qApp->installEventFilter(&shown);
    // Inside the event loop: see what is open, then close it as the user would.
    QStringList openInLoop;
    QTimer::singleShot(0, qApp, [&openInLoop] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible()) {
                openInLoop << widget->objectName();
                widget->close();
            }
        }
    });
    bool gaveUp = false;
    QTimer failsafe;
    failsafe.setSingleShot(true);
    connect(&failsafe, &QTimer::timeout, qApp, [&gaveUp] {
        gaveUp = true;
        QCoreApplication::quit();
    });
    failsafe.start(20000);

    const int code = Startup::updateRun(quiet, [&link](OrviUpdaterEngine &engine) {
        engine.adoptUpdates({ EntryBuilder()
                                  .name("orvi-core")
                                  .version("7.1")
                                  .description("Core")
                                  .changelog("Fixes")
                                  .link(link)
                                  .make() });
        return true;
    });
    qApp->removeEventFilter(&shown);

    QCOMPARE(code, 0);
    QVERIFY2(!gaveUp, "the update run did not end when its window closed");
    QCOMPARE(openInLoop, QStringList { window });
    QCOMPARE(shown.names, QStringList { window });
    QVERIFY(boxes.boxes().isEmpty());
}

QTEST_MAIN(TestFirstWindow)
#include "tst_firstwindow.moc"
