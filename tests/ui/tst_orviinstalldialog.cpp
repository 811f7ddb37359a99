#include "applicationarguments.h"
#include "applicationfolder.h"
#include "boxrecorder.h"
#include "embeddedresources.h"
#include "entrybuilder.h"
#include "formloader.h"
#include "messageboxhandler.h"
#include "orviinstalldialog.h"
#include "orviupdaterengine.h"
#include "platform.h"
#include "testenvironment.h"
#include "testpackage.h"
#include "toplevelwindows.h"
#include "updateentry.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QtTest>

#include <memory>

namespace {

QWidget *window(const QString &name)
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == name)
            return widget;
    }
    return nullptr;
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject
{
public:
    int count = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++count;
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

class tst_OrviInstallDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void runsWithinTheConstructorAndHandsOver_data();
    void runsWithinTheConstructorAndHandsOver();
    void windowIsPaintedWhileTheRunGoesOn();

private:
    void addPackage(const std::string &name);

    std::unique_ptr<TestEnvironment> m_environment;
    std::unique_ptr<OrviUpdaterEngine> m_engine;
    QVector<UpdateEntry *> m_entries;
    QString m_root;
    BoxRecorder m_boxes;
};

void tst_OrviInstallDialog::initTestCase()
{
    EmbeddedResources::registerBundle();
}

void tst_OrviInstallDialog::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    m_root = m_environment->root() + QStringLiteral("/app");
    QVERIFY(ApplicationFolder::make(m_root));
    ApplicationArguments::set(ApplicationFolder::updateArguments(m_root));
    EngineSettings settings;
    settings.appRoot = m_root;
    m_engine = std::make_unique<OrviUpdaterEngine>(settings);
    m_entries.clear();
    m_boxes.clear();
    m_boxes.setAnswer([](const MessageBoxHandler::Box &) { return QMessageBox::Abort; });
    Platform::setDetachedStarter([](const QString &, const QStringList &) { return true; });
}

void tst_OrviInstallDialog::cleanup()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        widget->close();
    QTRY_VERIFY_WITH_TIMEOUT(QApplication::topLevelWidgets().isEmpty(), 5000);
    Platform::setDetachedStarter(nullptr);
    m_engine.reset();
    m_environment.reset();
}

void tst_OrviInstallDialog::addPackage(const std::string &name)
{
    const QString file = QString::fromStdString(name);
    const QString link = QStringLiteral("http://127.0.0.1/") + file + QStringLiteral(".zip");
    m_entries << EntryBuilder().name(name).link(link).make();
    TestPackage package;
    package.addPackageElement(QStringLiteral("orvi"), file, QStringLiteral("app"))
        .addFile(QStringLiteral("lib"), file + QStringLiteral(".dll"), "new " + file.toUtf8())
        .addDescriptorEntry(file + QStringLiteral(".xml"));
    QVERIFY(package.write(m_engine->downloadFolder() + file + QStringLiteral(".zip")));
}

void tst_OrviInstallDialog::runsWithinTheConstructorAndHandsOver_data()
{
    QTest::addColumn<int>("packages");
    QTest::addColumn<QList<int>>("progress");

    QTest::newRow("one package goes straight to 100") << 1 << QList<int> { 100 };
    QTest::newRow("three packages") << 3 << QList<int> { 33, 66, 100 };
}

void tst_OrviInstallDialog::runsWithinTheConstructorAndHandsOver()
{
    QFETCH(int, packages);
    QFETCH(QList<int>, progress);
    for (int i = 0; i < packages; ++i)
        addPackage("pkg" + std::to_string(i));
    m_engine->adoptUpdates(m_entries);

    QList<int> shownProgress;
    QStringList shownLabels;
    QStringList windowsAtFinish;
    QProgressBar *bar = nullptr;
    QLabel *label = nullptr;
    // Connected before the dialog exists: the run is under way as soon as it does.
    connect(m_engine.get(), &OrviUpdaterEngine::installFile, this, [&](const QString &) {
        QWidget *form = window(QStringLiteral("Updater_Install_MainWindow"));
        QVERIFY(form && form->isVisible());
        QVERIFY(form->findChildren<QAbstractButton *>().isEmpty());
        bar = FormLoader::widget<QProgressBar>(form, QStringLiteral("Updater_Install_Progress"));
        label = FormLoader::widget<QLabel>(form, QStringLiteral("Updater_Install_ProgressText"));
        shownProgress << bar->value();
    });
    connect(m_engine.get(), &OrviUpdaterEngine::installProgress, this,
        [&](int) { shownLabels << label->text(); });
    connect(m_engine.get(), &OrviUpdaterEngine::installFinished, this,
        [&]() { shownProgress << bar->value(); });

    QPointer<OrviInstallDialog> dialog = new OrviInstallDialog(m_engine.get());

    // The summary was opened from within the constructor.
    QCOMPARE(TopLevelWindows::visibleNames(),
        QStringList { QStringLiteral("Updater_Summary_MainWindow") });
    QVERIFY(m_boxes.boxes().isEmpty());
    QVERIFY(m_engine->installSucceeded());
    QStringList expectedLabels;
    QList<int> expectedProgress { 0 };
    for (int i = 0; i < packages; ++i) {
        expectedLabels << QStringLiteral("pkg%1").arg(i);
        if (i + 1 < packages)
            expectedProgress << progress.at(i);
    }
    expectedProgress << 100;
    QCOMPARE(shownLabels, expectedLabels);
    QCOMPARE(shownProgress, expectedProgress);
    QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), 5000);
}

void tst_OrviInstallDialog::windowIsPaintedWhileTheRunGoesOn()
{
    addPackage("first");
    addPackage("second");
    m_engine->adoptUpdates(m_entries);

    PaintCounter labelPaints;
    bool watching = false;
    QList<int> paintsAtProgress;
    // Both run before the dialog's own handling of the same signal: the count taken at a
    // package's progress includes the painting of that package's name.
    connect(m_engine.get(), &OrviUpdaterEngine::installFile, this, [&](const QString &) {
        if (watching)
            return;
        QWidget *form = window(QStringLiteral("Updater_Install_MainWindow"));
        FormLoader::widget<QLabel>(form, QStringLiteral("Updater_Install_ProgressText"))
            ->installEventFilter(&labelPaints);
        watching = true;
    });
    connect(m_engine.get(), &OrviUpdaterEngine::installProgress, this,
        [&](int) { paintsAtProgress << labelPaints.count; });

    new OrviInstallDialog(m_engine.get());

    // The event loop never ran during the run, yet the label was painted as it changed.
    QCOMPARE(paintsAtProgress.size(), 2);
    QVERIFY2(paintsAtProgress.at(0) >= 1, "the first package's name was never painted");
    QVERIFY2(paintsAtProgress.at(1) > paintsAtProgress.at(0),
        "the second package's name was never painted");
}

ORVI_TEST_MAIN_WITH_ARGUMENTS(tst_OrviInstallDialog)
#include "tst_orviinstalldialog.moc"
