#include "embeddedresources.h"
#include "formloader.h"

#include <QDomDocument>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTranslator>
#include <QtTest>

#include <memory>

// The Polish catalogue as the program sees it at run time: compiled, embedded and applied to
// the code's texts and the forms. That the catalogue holds every text of the sources, in the
// right context and with the right comment, scripts/check-catalogue.sh checks with lupdate.

namespace {

// One message of the Linguist source.
struct Message
{
    QString context;
    QString source;
    QString comment;
    QString translation;
};

QString sourceDir()
{
    return QStringLiteral(ORVI_SOURCE_DIR);
}

QList<Message> readLinguistSource(const QString &path, QString *error)
{
    QFile file(path);
    QDomDocument document;
    if (!file.open(QIODevice::ReadOnly) || !document.setContent(&file, error))
        return {};
    QList<Message> messages;
    const QDomNodeList contexts = document.elementsByTagName(QStringLiteral("context"));
    for (int i = 0; i < contexts.count(); ++i) {
        const QDomElement context = contexts.at(i).toElement();
        const QString name = context.firstChildElement(QStringLiteral("name")).text();
        for (QDomElement m = context.firstChildElement(QStringLiteral("message")); !m.isNull();
             m = m.nextSiblingElement(QStringLiteral("message"))) {
            messages.append({ name, m.firstChildElement(QStringLiteral("source")).text(),
                m.firstChildElement(QStringLiteral("comment")).text(),
                m.firstChildElement(QStringLiteral("translation")).text() });
        }
    }
    return messages;
}

} // namespace

class TestCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void everyEntryTranslates_data();
    void everyEntryTranslates();
    void downloadBoxTitleStaysEnglish();

    void formsShowPolish_data();
    void formsShowPolish();
    void changelogWindowReadsPolish();

private:
    QTranslator m_translator;
};

void TestCatalogue::initTestCase()
{
    EmbeddedResources::registerBundle();
    QVERIFY(m_translator.load(QStringLiteral(":/languages/orvi_pl_PL.qm")));
    QVERIFY(QCoreApplication::installTranslator(&m_translator));
}

void TestCatalogue::cleanupTestCase()
{
    QCoreApplication::removeTranslator(&m_translator);
}

void TestCatalogue::everyEntryTranslates_data()
{
    QTest::addColumn<QByteArray>("context");
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("comment");
    QTest::addColumn<QString>("shown");

    QString error;
    const QList<Message> catalogue
        = readLinguistSource(sourceDir() + QStringLiteral("/src/languages/orvi_pl_PL.ts"), &error);
    QVERIFY2(!catalogue.isEmpty(), qPrintable(error));
    for (const Message &m : catalogue) {
        QTest::addRow(
            "%s: %s (%s)", qPrintable(m.context), qPrintable(m.source), qPrintable(m.comment))
            << m.context.toUtf8() << m.source.toUtf8() << m.comment.toUtf8()
            << (m.translation.isEmpty() ? m.source : m.translation);
    }
}

void TestCatalogue::everyEntryTranslates()
{
    QFETCH(QByteArray, context);
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, comment);
    QFETCH(QString, shown);

    // An empty translation leaves the English text in place.
    QCOMPARE(QCoreApplication::translate(context.constData(), source.constData(),
                 comment.isEmpty() ? nullptr : comment.constData()),
        shown);
}

void TestCatalogue::downloadBoxTitleStaysEnglish()
{
    QCOMPARE(QCoreApplication::translate("OrviDownloadDialog", "Update"), QStringLiteral("Update"));
}

void TestCatalogue::formsShowPolish_data()
{
    QTest::addColumn<QString>("form");
    QTest::newRow("changelog") << "Changelog";
    QTest::newRow("download") << "Download";
    QTest::newRow("install") << "Install";
    QTest::newRow("summary") << "Summary";
}

void TestCatalogue::formsShowPolish()
{
    QFETCH(QString, form);

    // Every translatable text of the form has its entry in the form's own context.
    QFile file(QStringLiteral(ORVI_SOURCE_DIR "/src/res/%1.ui").arg(form));
    QDomDocument document;
    QVERIFY(file.open(QIODevice::ReadOnly) && document.setContent(&file));
    const QByteArray context = QStringLiteral("Updater_%1_MainWindow").arg(form).toUtf8();
    const QDomNodeList strings = document.elementsByTagName(QStringLiteral("string"));
    int translatable = 0;
    for (int i = 0; i < strings.count(); ++i) {
        const QDomElement string = strings.at(i).toElement();
        if (string.text().isEmpty()
            || string.attribute(QStringLiteral("notr")) == QLatin1String("true"))
            continue;
        ++translatable;
        const QByteArray source = string.text().toUtf8();
        QVERIFY2(
            QCoreApplication::translate(context.constData(), source.constData()) != string.text(),
            source.constData());
    }
    QVERIFY(translatable >= 3);

    const std::unique_ptr<QWidget> root(FormLoader::load(form));
    QCOMPARE(root->windowTitle(), QStringLiteral("Aktualizuj"));
}

void TestCatalogue::changelogWindowReadsPolish()
{
    const std::unique_ptr<QWidget> root(FormLoader::load(QStringLiteral("Changelog")));
    QCOMPARE(root->windowTitle(), QStringLiteral("Aktualizuj"));
    QCOMPARE(FormLoader::widget<QLabel>(root.get(), QStringLiteral("label_2"))->text(),
        QStringLiteral("Aktualizacja komunikatora Orvi"));
    QCOMPARE(FormLoader::widget<QLabel>(root.get(), QStringLiteral("label_3"))->text(),
        QString::fromUtf8("Są dostępne aktualizacje dla komunikatora Orvi. Czy chcesz "
                          "pobrać je teraz?"));
    QCOMPARE(FormLoader::widget<QPushButton>(
                 root.get(), QStringLiteral("Updater_Changelog_DownloadLater"))
                 ->text(),
        QString::fromUtf8("Pobierz później"));
}

QTEST_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
