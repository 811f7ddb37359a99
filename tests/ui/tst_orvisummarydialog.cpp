#include "applicationarguments.h"
#include "applicationfolder.h"
#include "boxrecorder.h"
#include "embeddedresources.h"
#include "entrybuilder.h"
#include "formloader.h"
#include "messageboxhandler.h"
#include "orvisummarydialog.h"
#include "orviupdaterengine.h"
#include "platform.h"
#include "quitrecorder.h"
#include "testenvironment.h"
#include "updateentry.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

#include <memory>

class tst_OrviSummaryDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void showsTheResult_data();
    void showsTheResult();
    void closeRestartsTheMainApplication_data();
    void closeRestartsTheMainApplication();
    void titleBarCloseRestartsNothing();
    void viewDetailsFoldsTheDetails();

private:
    struct Start
    {
        QString program;
        QStringList arguments;
    };

    QWidget *openSummary(bool succeeded);

    std::unique_ptr<TestEnvironment> m_environment;
    std::unique_ptr<OrviUpdaterEngine> m_engine;
    QPointer<OrviSummaryDialog> m_dialog;
    QString m_root;
    QList<Start> m_starts;
    BoxRecorder m_boxes;
};

void tst_OrviSummaryDialog::initTestCase()
{
    EmbeddedResources::registerBundle();
}

void tst_OrviSummaryDialog::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    m_root = m_environment->root() + QStringLiteral("/Orvi Messenger");
    QVERIFY(ApplicationFolder::make(m_root));
    ApplicationArguments::set(ApplicationFolder::updateArguments(m_root));
    EngineSettings settings;
    settings.appRoot = m_root;
    m_engine = std::make_unique<OrviUpdaterEngine>(settings);
    m_starts.clear();
    m_boxes.setAnswer([](const MessageBoxHandler::Box &) { return QMessageBox::Abort; });
    Platform::setDetachedStarter([this](const QString &program, const QStringList &arguments) {
        m_starts << Start { program, arguments };
        return true;
    });
}

void tst_OrviSummaryDialog::cleanup()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        widget->close();
    QTRY_VERIFY_WITH_TIMEOUT(QApplication::topLevelWidgets().isEmpty(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(m_dialog.isNull(), 5000);
    Platform::setDetachedStarter(nullptr);
    m_engine.reset();
    m_environment.reset();
}

QWidget *tst_OrviSummaryDialog::openSummary(bool succeeded)
{
    // A run over nothing succeeds; a run over a package that is not there fails.
    if (!succeeded) {
        m_engine->adoptUpdates(
            { EntryBuilder().version("2").link("http://127.0.0.1/core.zip").make() });
    }
    QuitRecorder::run([this] { m_engine->installUpdates(); });
    m_dialog = new OrviSummaryDialog(m_engine.get());
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible()
            && widget->objectName() == QLatin1String("Updater_Summary_MainWindow"))
            return widget;
    }
    return nullptr;
}

void tst_OrviSummaryDialog::showsTheResult_data()
{
    QTest::addColumn<bool>("succeeded");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("instruction");
    QTest::addColumn<QString>("details");

    QTest::newRow("success") << true << QStringLiteral("Installation complete")
                             << QStringLiteral("To complete the update process please restart "
                                               "Orvi instant messenger.")
                             << QString();
    QTest::newRow("failure") << false << QStringLiteral("Installation failed")
                             << QStringLiteral("Please reinstall application with package from "
                                               "official web page")
                             << QStringLiteral("An error occured while installing updates");
}

void tst_OrviSummaryDialog::showsTheResult()
{
    QFETCH(bool, succeeded);
    QFETCH(QString, status);
    QFETCH(QString, instruction);
    QFETCH(QString, details);

    QWidget *form = openSummary(succeeded);
    QVERIFY(form);
    QCOMPARE(m_engine->installSucceeded(), succeeded);
    QVERIFY(form->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(
        FormLoader::widget<QLabel>(form, QStringLiteral("Updater_Summary_Status"))->text(), status);
    QCOMPARE(
        FormLoader::widget<QLabel>(form, QStringLiteral("Updater_Summary_Instruction"))->text(),
        instruction);
    auto *detailsText
        = FormLoader::widget<QPlainTextEdit>(form, QStringLiteral("Updater_Summary_Details"));
    QCOMPARE(detailsText->toPlainText(), details);
    QVERIFY(detailsText->isVisible());
    QVERIFY(m_starts.isEmpty());
}

void tst_OrviSummaryDialog::closeRestartsTheMainApplication_data()
{
    QTest::addColumn<bool>("succeeded");
    QTest::newRow("after success") << true;
    QTest::newRow("after failure") << false;
}

void tst_OrviSummaryDialog::closeRestartsTheMainApplication()
{
    QFETCH(bool, succeeded);
    QWidget *form = openSummary(succeeded);
    QVERIFY(form);
    auto *close = FormLoader::widget<QPushButton>(form, QStringLiteral("Updater_Summary_Restart"));

    const int quits = QuitRecorder::run([close] { QTest::mouseClick(close, Qt::LeftButton); });

    QCOMPARE(quits, 1);
    QCOMPARE(m_starts.size(), 1);
    // The folder holds a blank; the program path reaches the start in one piece.
    QCOMPARE(
        m_starts.first().program, Platform::quoteProgram(ApplicationFolder::mainProgram(m_root)));
    QCOMPARE(m_starts.first().arguments, QStringList());
}

void tst_OrviSummaryDialog::titleBarCloseRestartsNothing()
{
    QWidget *form = openSummary(true);
    QVERIFY(form);

    form->close();

    QTRY_VERIFY_WITH_TIMEOUT(m_dialog.isNull(), 5000);
    QVERIFY(m_starts.isEmpty());
}

void tst_OrviSummaryDialog::viewDetailsFoldsTheDetails()
{
    QWidget *form = openSummary(false);
    QVERIFY(form);
    auto *button
        = FormLoader::widget<QPushButton>(form, QStringLiteral("Updater_Summary_ViewDetails"));
    auto *details
        = FormLoader::widget<QPlainTextEdit>(form, QStringLiteral("Updater_Summary_Details"));
    const int unfoldedHeight = form->height();
    QCOMPARE(button->text(), QStringLiteral("Hide details"));

    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(!details->isVisible());
    QCOMPARE(button->text(), QStringLiteral("View details"));
    QVERIFY2(form->height() < unfoldedHeight, "the window did not shrink with the details");

    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(details->isVisible());
    QCOMPARE(button->text(), QStringLiteral("Hide details"));
    QVERIFY(m_starts.isEmpty());
}

ORVI_TEST_MAIN_WITH_ARGUMENTS(tst_OrviSummaryDialog)
#include "tst_orvisummarydialog.moc"
