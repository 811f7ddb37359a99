#include "embeddedresources.h"
#include "formloader.h"

#include <QApplication>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QProcess>
#include <QPushButton>
#include <QResource>
#include <QSpacerItem>
#include <QtTest>

#include <memory>

namespace {

const QString LinkStyle = QStringLiteral("border: 0px;\n"
                                         "background: transparent;\n"
                                         "color: blue;\n"
                                         "text-decoration: underline;\n"
                                         "text-align: left;");
const QString Bold = QStringLiteral("font-weight: bold;");
const char *AbortCaseVariable = "ORVI_FORMS_ABORT_CASE";

QString describe(const QWidget *widget);

// The layout tree as names: layouts with their items in brackets, widgets with a layout of
// their own in braces, spacers by orientation and size hint.
QString describe(const QLayout *layout)
{
    QStringList items;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        if (item->widget()) {
            items << describe(item->widget());
        } else if (item->layout()) {
            items << describe(item->layout());
        } else if (QSpacerItem *spacer = item->spacerItem()) {
            const QSize hint = spacer->sizeHint();
            items << QStringLiteral("%1spacer %2x%3")
                         .arg(spacer->expandingDirections() & Qt::Vertical ? 'v' : 'h')
                         .arg(hint.width())
                         .arg(hint.height());
        }
    }
    return layout->objectName() + QLatin1Char('[') + items.join(QLatin1Char(','))
        + QLatin1Char(']');
}

QString describe(const QWidget *widget)
{
    QString text = widget->objectName();
    if (widget->layout())
        text += QLatin1Char('{') + describe(widget->layout()) + QLatin1Char('}');
    return text;
}

std::unique_ptr<QWidget> loadForm(const QString &form)
{
    return std::unique_ptr<QWidget>(FormLoader::load(form));
}

} // namespace

class TestForms : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void bundleContents_data();
    void bundleContents();
    void registrationBringsBackTheBundle();
    void iconIsA64PixelRgbaPng();

    void formFile_data();
    void formFile();
    void rootWindow_data();
    void rootWindow();
    void layoutTree_data();
    void layoutTree();
    void widgetProperties_data();
    void widgetProperties();

    void closingDeletesWindowThenDialog();
    void missingPartsAbort_data();
    void missingPartsAbort();
    void abortInChild();
};

void TestForms::initTestCase()
{
    EmbeddedResources::registerBundle();
}

void TestForms::bundleContents_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("compression");

    QTest::newRow("icon") << ":/res/icon.png" << int(QResource::NoCompression);
    QTest::newRow("catalogue") << ":/languages/orvi_pl_PL.qm" << int(QResource::ZlibCompression);
}

void TestForms::bundleContents()
{
    QFETCH(QString, path);
    QFETCH(int, compression);

    const QResource resource(path);
    QVERIFY2(resource.isValid(), qPrintable(path));
    QCOMPARE(int(resource.compressionAlgorithm()), compression);
    QVERIFY(resource.uncompressedSize() > 0);
}

void TestForms::registrationBringsBackTheBundle()
{
    // The forms are compiled in; the bundle holds the icon and the catalogue.
    const QStringList expected { QStringLiteral("icon.png") };
    EmbeddedResources::registerBundle();
    QCOMPARE(QDir(QStringLiteral(":/res")).entryList(QDir::Files, QDir::Name), expected);

    // Registration is by identity: one removal undoes any number of registrations.
    Q_CLEANUP_RESOURCE(updater);
    QVERIFY(!QFile::exists(QStringLiteral(":/res/icon.png")));
    QVERIFY(!QFile::exists(QStringLiteral(":/languages/orvi_pl_PL.qm")));

    EmbeddedResources::registerBundle();
    QCOMPARE(QDir(QStringLiteral(":/res")).entryList(QDir::Files, QDir::Name), expected);
    QCOMPARE(QDir(QStringLiteral(":/languages")).entryList(QDir::Files),
        QStringList { QStringLiteral("orvi_pl_PL.qm") });
}

void TestForms::iconIsA64PixelRgbaPng()
{
    QFile file(QStringLiteral(":/res/icon.png"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray png = file.readAll();
    QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
    QCOMPARE(png.mid(12, 4), QByteArray("IHDR"));
    const auto byte = [&png](int i) { return int(uchar(png.at(i))); };
    QCOMPARE((byte(16) << 24) | (byte(17) << 16) | (byte(18) << 8) | byte(19), 64); // width
    QCOMPARE((byte(20) << 24) | (byte(21) << 16) | (byte(22) << 8) | byte(23), 64); // height
    QCOMPARE(byte(24), 8); // bits per sample
    QCOMPARE(byte(25), 6); // RGBA

    const QImage image = QImage::fromData(png, "PNG");
    QCOMPARE(image.size(), QSize(64, 64));
    QVERIFY(image.hasAlphaChannel());
    // A picture on a transparent ground, not an empty or filled square.
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(image.pixel(63, 63)), 0);
    QCOMPARE(qAlpha(image.pixel(8, 26)), 255);
}

void TestForms::formFile_data()
{
    QTest::addColumn<QString>("form");
    QTest::newRow("changelog") << "Changelog";
    QTest::newRow("download") << "Download";
    QTest::newRow("install") << "Install";
    QTest::newRow("summary") << "Summary";
}

void TestForms::formFile()
{
    QFETCH(QString, form);

    QFile file(QStringLiteral(ORVI_SOURCE_DIR "/src/res/%1.ui").arg(form));
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    QDomDocument document;
    QVERIFY(document.setContent(&file));
    const QDomElement ui = document.documentElement();
    QCOMPARE(ui.tagName(), QStringLiteral("ui"));
    QCOMPARE(ui.attribute(QStringLiteral("version")), QStringLiteral("4.0"));
    const QString root = QStringLiteral("Updater_%1_MainWindow").arg(form);
    QCOMPARE(ui.firstChildElement(QStringLiteral("class")).text(), root);
    QCOMPARE(
        ui.firstChildElement(QStringLiteral("widget")).attribute(QStringLiteral("name")), root);
    QCOMPARE(ui.firstChildElement(QStringLiteral("resources"))
                 .firstChildElement(QStringLiteral("include"))
                 .attribute(QStringLiteral("location")),
        QStringLiteral("../updater.qrc"));
    // The dialog classes do all the wiring.
    QCOMPARE(document.elementsByTagName(QStringLiteral("connection")).count(), 0);
}

void TestForms::rootWindow_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QSize>("initialSize");
    QTest::newRow("changelog") << "Changelog" << QSize(450, 218);
    QTest::newRow("download") << "Download" << QSize(450, 189);
    QTest::newRow("install") << "Install" << QSize(450, 158);
    QTest::newRow("summary") << "Summary" << QSize(400, 222);
}

void TestForms::rootWindow()
{
    QFETCH(QString, form);
    QFETCH(QSize, initialSize);

    const std::unique_ptr<QWidget> root = loadForm(form);
    QVERIFY(root);
    QCOMPARE(root->objectName(), QStringLiteral("Updater_%1_MainWindow").arg(form));
    QCOMPARE(root->metaObject()->className(), "QWidget");
    QVERIFY(!root->parent());
    QVERIFY(root->isWindow());
    QCOMPARE(root->windowTitle(), QStringLiteral("Update"));
    QCOMPARE(root->size(), initialSize);

    const QImage icon(QStringLiteral(":/res/icon.png"));
    QVERIFY(!root->windowIcon().isNull());
    QCOMPARE(
        root->windowIcon().pixmap(QSize(64, 64)).toImage().convertToFormat(icon.format()), icon);
    const QLabel *label = FormLoader::widget<QLabel>(root.get(), QStringLiteral("label"));
    QCOMPARE(label->text(), QString());
    QCOMPARE(label->pixmap().toImage().convertToFormat(icon.format()), icon);
    QCOMPARE(label->sizePolicy(), QSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred));
}

void TestForms::layoutTree_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("tree");

    QTest::newRow("changelog")
        << "Changelog"
        << "Updater_Changelog_MainWindow{verticalLayout_2["
           "horizontalLayout_2[label,verticalLayout_3[label_2,label_3]],"
           "vspacer 20x40,"
           "frame{verticalLayout[horizontalLayout[Updater_Changelog_ViewChangelog,"
           "hspacer 40x20,Updater_Changelog_DownloadNow,Updater_Changelog_DownloadLater],"
           "Updater_Changelog_Details]}]}";
    QTest::newRow("download")
        << "Download"
        << "Updater_Download_MainWindow{verticalLayout_2["
           "horizontalLayout_2[label,label_2],"
           "vspacer 20x0,"
           "frame{verticalLayout[Updater_Download_ProgressText,Updater_Download_Progress]},"
           "horizontalLayout[hspacer 40x20,Updater_Download_Cancel,hspacer 40x20]]}";
    QTest::newRow("install")
        << "Install"
        << "Updater_Install_MainWindow{verticalLayout_2["
           "horizontalLayout[label,label_2],"
           "vspacer 20x11,"
           "frame{verticalLayout[Updater_Install_ProgressText,Updater_Install_Progress]}]}";
    QTest::newRow("summary")
        << "Summary"
        << "Updater_Summary_MainWindow{verticalLayout["
           "horizontalLayout[label,verticalLayout_2[Updater_Summary_Status,"
           "Updater_Summary_Instruction]],"
           "horizontalLayout_2[Updater_Summary_ViewDetails,Updater_Summary_Restart],"
           "Updater_Summary_Details]}";
}

void TestForms::layoutTree()
{
    QFETCH(QString, form);
    QFETCH(QString, tree);

    const std::unique_ptr<QWidget> root = loadForm(form);
    QCOMPARE(describe(root.get()), tree);
}

void TestForms::widgetProperties_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("className");
    QTest::addColumn<QVariantMap>("properties");

    const auto text = [](const char *value) { return QVariant(QString::fromUtf8(value)); };
    const QVariantMap fixedWidth {
        { QStringLiteral("sizePolicy"),
            QVariant::fromValue(QSizePolicy(QSizePolicy::Minimum, QSizePolicy::Preferred)) },
        { QStringLiteral("minimumSize"), QSize(450, 0) },
        { QStringLiteral("maximumSize"), QSize(450, QWIDGETSIZE_MAX) },
    };
    const QVariantMap frame {
        { QStringLiteral("frameShape"), int(QFrame::StyledPanel) },
        { QStringLiteral("frameShadow"), int(QFrame::Raised) },
    };
    const QVariantMap heading {
        { QStringLiteral("styleSheet"), Bold },
        { QStringLiteral("wordWrap"), true },
        { QStringLiteral("text"), text("Orvi IM update") },
    };

    QTest::newRow("changelog root")
        << "Changelog"
        << "Updater_Changelog_MainWindow" << QByteArray("QWidget") << fixedWidth;
    QTest::newRow("changelog heading") << "Changelog"
                                       << "label_2" << QByteArray("QLabel") << heading;
    QTest::newRow("changelog offer")
        << "Changelog"
        << "label_3" << QByteArray("QLabel")
        << QVariantMap { { QStringLiteral("styleSheet"), QString() },
               { QStringLiteral("wordWrap"), true },
               { QStringLiteral("text"),
                   text("Orvi instant messenger update is available. Do you wish "
                        "to download it now?") } };
    QTest::newRow("changelog frame") << "Changelog"
                                     << "frame" << QByteArray("QFrame") << frame;
    QTest::newRow("changelog link")
        << "Changelog"
        << "Updater_Changelog_ViewChangelog" << QByteArray("QPushButton")
        << QVariantMap { { QStringLiteral("styleSheet"), LinkStyle },
               { QStringLiteral("cursor"), int(Qt::PointingHandCursor) },
               { QStringLiteral("text"), text("Show changelog") } };
    QTest::newRow("changelog download now")
        << "Changelog"
        << "Updater_Changelog_DownloadNow" << QByteArray("QPushButton")
        << QVariantMap { { QStringLiteral("text"), text("Download now") },
               { QStringLiteral("cursor"), int(Qt::ArrowCursor) } };
    QTest::newRow("changelog download later")
        << "Changelog"
        << "Updater_Changelog_DownloadLater" << QByteArray("QPushButton")
        << QVariantMap { { QStringLiteral("text"), text("Download later") } };
    QTest::newRow("changelog details")
        << "Changelog"
        << "Updater_Changelog_Details" << QByteArray("QPlainTextEdit")
        << QVariantMap { { QStringLiteral("readOnly"), true },
               { QStringLiteral("plainText"), QString() } };

    QTest::newRow("download root")
        << "Download"
        << "Updater_Download_MainWindow" << QByteArray("QWidget") << fixedWidth;
    QTest::newRow("download heading") << "Download"
                                      << "label_2" << QByteArray("QLabel") << heading;
    QTest::newRow("download frame") << "Download"
                                    << "frame" << QByteArray("QFrame") << frame;
    QTest::newRow("download label")
        << "Download"
        << "Updater_Download_ProgressText" << QByteArray("QLabel")
        << QVariantMap { { QStringLiteral("text"), text("Downloading...") } };
    QTest::newRow("download bar") << "Download"
                                  << "Updater_Download_Progress" << QByteArray("QProgressBar")
                                  << QVariantMap { { QStringLiteral("value"), 0 },
                                         { QStringLiteral("minimum"), 0 },
                                         { QStringLiteral("maximum"), 100 } };
    QTest::newRow("download cancel") << "Download"
                                     << "Updater_Download_Cancel" << QByteArray("QPushButton")
                                     << QVariantMap { { QStringLiteral("text"), text("Cancel") } };

    QTest::newRow("install root") << "Install"
                                  << "Updater_Install_MainWindow" << QByteArray("QWidget")
                                  << fixedWidth;
    QTest::newRow("install heading") << "Install"
                                     << "label_2" << QByteArray("QLabel") << heading;
    QTest::newRow("install header row")
        << "Install"
        << "horizontalLayout" << QByteArray("QHBoxLayout")
        << QVariantMap { { QStringLiteral("sizeConstraint"), int(QLayout::SetDefaultConstraint) } };
    QTest::newRow("install frame") << "Install"
                                   << "frame" << QByteArray("QFrame") << frame;
    QTest::newRow("install label")
        << "Install"
        << "Updater_Install_ProgressText" << QByteArray("QLabel")
        << QVariantMap { { QStringLiteral("text"), text("Installing...") } };
    QTest::newRow("install bar") << "Install"
                                 << "Updater_Install_Progress" << QByteArray("QProgressBar")
                                 << QVariantMap { { QStringLiteral("value"), 0 },
                                        { QStringLiteral("minimum"), 0 },
                                        { QStringLiteral("maximum"), 100 } };

    QTest::newRow("summary root")
        << "Summary"
        << "Updater_Summary_MainWindow" << QByteArray("QWidget")
        << QVariantMap { { QStringLiteral("sizePolicy"),
                             QVariant::fromValue(
                                 QSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred)) },
               { QStringLiteral("minimumSize"), QSize(0, 0) },
               { QStringLiteral("maximumSize"), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX) } };
    QTest::newRow("summary status")
        << "Summary"
        << "Updater_Summary_Status" << QByteArray("QLabel")
        << QVariantMap { { QStringLiteral("styleSheet"), Bold },
               { QStringLiteral("wordWrap"), true },
               { QStringLiteral("text"), text("Installation complete") } };
    QTest::newRow("summary instruction")
        << "Summary"
        << "Updater_Summary_Instruction" << QByteArray("QLabel")
        << QVariantMap { { QStringLiteral("styleSheet"), QString() },
               { QStringLiteral("wordWrap"), true },
               { QStringLiteral("text"),
                   text("To complete the update process please restart Orvi "
                        "instant messenger.") } };
    QTest::newRow("summary view details")
        << "Summary"
        << "Updater_Summary_ViewDetails" << QByteArray("QPushButton")
        << QVariantMap { { QStringLiteral("styleSheet"), LinkStyle },
               { QStringLiteral("cursor"), int(Qt::ArrowCursor) },
               { QStringLiteral("text"), text("View details") } };
    QTest::newRow("summary close") << "Summary"
                                   << "Updater_Summary_Restart" << QByteArray("QPushButton")
                                   << QVariantMap { { QStringLiteral("text"), text("Close") } };
    QTest::newRow("summary details") << "Summary"
                                     << "Updater_Summary_Details" << QByteArray("QPlainTextEdit")
                                     << QVariantMap { { QStringLiteral("readOnly"), true } };
}

void TestForms::widgetProperties()
{
    QFETCH(QString, form);
    QFETCH(QString, name);
    QFETCH(QByteArray, className);
    QFETCH(QVariantMap, properties);

    const std::unique_ptr<QWidget> root = loadForm(form);
    QObject *object = root->objectName() == name ? root.get() : root->findChild<QObject *>(name);
    QVERIFY2(object, qPrintable(name));
    QCOMPARE(QByteArray(object->metaObject()->className()), className);
    for (auto it = properties.cbegin(); it != properties.cend(); ++it) {
        const QByteArray property = it.key().toLatin1();
        QVariant actual = object->property(property.constData());
        QVERIFY2(actual.isValid(), property.constData());
        if (property == "cursor")
            actual = int(actual.value<QCursor>().shape());
        else if (actual.metaType().flags() & QMetaType::IsEnumeration)
            actual = actual.toInt();
        QVERIFY2(actual == it.value(),
            qPrintable(QStringLiteral("%1: %2 instead of %3")
                           .arg(it.key(), actual.toString(), it.value().toString())));
    }
}

void TestForms::closingDeletesWindowThenDialog()
{
    auto *dialog = new QObject;
    QWidget *form = FormLoader::load(QStringLiteral("Download"));
    FormLoader::bindLifetime(dialog, form);
    const auto deleted = std::make_shared<QStringList>();
    connect(form, &QObject::destroyed, this, [deleted] { *deleted << QStringLiteral("window"); });
    connect(dialog, &QObject::destroyed, this, [deleted] { *deleted << QStringLiteral("dialog"); });
    FormLoader::show(form);
    QVERIFY(form->isVisible());
    QVERIFY(form->testAttribute(Qt::WA_DeleteOnClose));

    QVERIFY(form->close());
    // Both go when control returns to the event loop: the window first, then the dialog.
    QVERIFY(deleted->isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(
        *deleted, (QStringList { QStringLiteral("window"), QStringLiteral("dialog") }), 5000);
}

void TestForms::missingPartsAbort_data()
{
    QTest::addColumn<QString>("abortCase");
    QTest::addColumn<QString>("message");

    QTest::newRow("missing form") << "form"
                                  << "there is no form Missing";
    QTest::newRow("missing widget") << "widget"
                                    << "form Updater_Download_MainWindow has no QPushButton named "
                                       "Updater_Download_Missing";
    QTest::newRow("widget of another class")
        << "class"
        << "form Updater_Download_MainWindow has no QLabel named "
           "Updater_Download_Cancel";
}

void TestForms::missingPartsAbort()
{
    QFETCH(QString, abortCase);
    QFETCH(QString, message);

    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(AbortCaseVariable), abortCase);
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), { QStringLiteral("abortInChild") });
    QVERIFY(child.waitForFinished(60000));
    const QString output = QString::fromLocal8Bit(child.readAll());
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    QVERIFY2(output.contains(message), qPrintable(output));
}

// Runs only as the child process of missingPartsAbort(), where it is meant to abort.
void TestForms::abortInChild()
{
    const QByteArray abortCase = qgetenv(AbortCaseVariable);
    if (abortCase.isEmpty())
        QSKIP("Run by missingPartsAbort()");

    if (abortCase == "form") {
        delete FormLoader::load(QStringLiteral("Missing"));
        return;
    }
    const std::unique_ptr<QWidget> root = loadForm(QStringLiteral("Download"));
    if (abortCase == "widget")
        FormLoader::widget<QPushButton>(root.get(), QStringLiteral("Updater_Download_Missing"));
    else
        FormLoader::widget<QLabel>(root.get(), QStringLiteral("Updater_Download_Cancel"));
}

QTEST_MAIN(TestForms)
#include "tst_forms.moc"
