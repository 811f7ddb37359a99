#include "embeddedresources.h"
#include "formloader.h"

#include <QDirIterator>
#include <QDomDocument>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTranslator>
#include <QtTest>

#include <memory>

// Checks the Polish catalogue against the texts the program asks for: the known texts and
// their translations below, and every literal text found in the program's sources.

namespace {

struct Text
{
    const char *source;
    const char *comment; // as the code passes it
    const char *polish; // empty: the English text shows
};

// The texts of the context "translation" that the updater's code asks for.
const Text ProgramTexts[] = {
    { "Update", "program update", "Aktualizuj" },
    { "Update", "nc", "Aktualizuj" },
    { "No updates available.", "nc", "Brak nowych aktualizacji." },
    { "Copy error: %1 (%2)", "program update", "" },
    { "Cannot run update!", "nc", "Nie można przeprowadzić aktualizacji!" },
    { "Check updates", "nc", "Sprawdź aktualizacje" },
    { "Couldn't connect to update server. Check your internet connection.", "nc",
        "Nie można nawiązać połączenie z serwerem aktualizacji. Sprawdź swoje połączenie "
        "internetowe." },
    { "An error occured while comunicating update server. Check your internet connection.", "nc",
        "Wystąpił błąd podczas komunikacji z serwerem aktualizacji. Sprawdź swoje "
        "połączenie internetowe." },
    { "Installing package %1:", "status information about currently installed package",
        "Zainstalowano pakiet %1:" },
    { "Failed installing package ", "nc", "Błąd podczas instalowania paczki " },
    { "Rollback update", "restoring application to state before installing update",
        "Cofanie akutalizacji" },
    { "An error occured while rolling back update progress. Software may not work properly. "
      "Try reinstalling whole application",
        "nc",
        "Wystąpił błąd podczas cofania aktualizacji. Program może nie działać poprawnie. "
        "Zalecamy ręczne zainstalowanie najnowszej wersji komunikatora Orvi ze strony "
        "www.orvi.example" },
    { "Unable to open update archive", "nc", "Nie udało się zaktualizować archiwum" },
    { "Wrong project!", "nc", "" },
    { "Wrong name!", "nc", "" },
    { "Wrong type!", "nc", "" },
    { "Cannot create file %1 (%2)", "nc", "" },
    { "Cannot extract update file (%1)!", "nc", "" },
    { "Cannot copy file %1 to %2!", "nc", "" },
    { "Cannot read file from archive!", "nc", "" },
    { "Show changelog", "nc", "Pokaż listę zmian" },
    { "Hide changelog", "nc", "Ukryj listę zmian" },
    { "Installation failed", "nc", "Aktualizacja nie powiodła się" },
    { "Please reinstall application with package from official web page", "nc",
        "Pobierz i zainstaluj ponownie komunikator Orvi ze strony www.orvi.example" },
};

struct FormText
{
    const char *context;
    const char *source;
    const char *polish;
};

const FormText FormTexts[] = {
    { "Updater_Changelog_MainWindow", "Update", "Aktualizuj" },
    { "Updater_Changelog_MainWindow", "Orvi IM update", "Aktualizacja komunikatora Orvi" },
    { "Updater_Changelog_MainWindow",
        "Orvi instant messenger update is available. Do you wish to download it now?",
        "Są dostępne aktualizacje dla komunikatora Orvi. Czy chcesz pobrać je teraz?" },
    { "Updater_Changelog_MainWindow", "Show changelog", "Pokaż listę zmian" },
    { "Updater_Changelog_MainWindow", "Download now", "Pobierz teraz" },
    { "Updater_Changelog_MainWindow", "Download later", "Pobierz później" },
    { "Updater_Download_MainWindow", "Update", "Aktualizuj" },
    { "Updater_Download_MainWindow", "Orvi IM update", "Aktualizacja komunikatora Orvi" },
    { "Updater_Download_MainWindow", "Downloading...", "Pobieranie..." },
    { "Updater_Download_MainWindow", "Cancel", "Anuluj" },
    { "Updater_Install_MainWindow", "Update", "Aktualizuj" },
    { "Updater_Install_MainWindow", "Orvi IM update", "Aktualizacja komunikatora Orvi" },
    { "Updater_Install_MainWindow", "Installing...", "Instalacja..." },
    { "Updater_Summary_MainWindow", "Update", "Aktualizuj" },
    { "Updater_Summary_MainWindow", "Installation complete",
        "Aktualizacje zainstalowane pomyślnie" },
    { "Updater_Summary_MainWindow",
        "To complete the update process please restart Orvi instant messenger.",
        "By zakończyć proces instalacji należy uruchomić ponownie komunikator." },
    { "Updater_Summary_MainWindow", "View details", "Pokaż szczegóły" },
    { "Updater_Summary_MainWindow", "Close", "Zamknij" },
};

// One message of the Linguist source.
struct Message
{
    QString context;
    QString source;
    QString comment;
    QString translation;
    bool unfinished = false;
};

// One text the code asks for in the context "translation".
struct Call
{
    QString file;
    QString source;
    QString comment;
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
            const QDomElement translation = m.firstChildElement(QStringLiteral("translation"));
            messages.append({ name, m.firstChildElement(QStringLiteral("source")).text(),
                m.firstChildElement(QStringLiteral("comment")).text(), translation.text(),
                translation.attribute(QStringLiteral("type")) == QLatin1String("unfinished") });
        }
    }
    return messages;
}

// Joins adjacent C string literals ("a" "b") and resolves their escapes.
QString literalText(const QString &literals)
{
    static const QRegularExpression literal(QStringLiteral("\"((?:[^\"\\\\\\n]|\\\\.)*)\""));
    QString text;
    for (const QRegularExpressionMatch &match : literal.globalMatch(literals)) {
        const QString body = match.captured(1);
        for (int i = 0; i < body.size(); ++i) {
            if (body.at(i) != QLatin1Char('\\') || i + 1 == body.size()) {
                text += body.at(i);
                continue;
            }
            const QChar escaped = body.at(++i);
            text += escaped == QLatin1Char('n') ? QChar(QLatin1Char('\n'))
                : escaped == QLatin1Char('t')   ? QChar(QLatin1Char('\t'))
                                                : escaped;
        }
    }
    return text;
}

// The literal texts asked for in code: QCoreApplication::translate("translation", text,
// comment, ...) and the files' local helpers tr(text, comment).
QList<Call> callsIn(const QString &file, const QString &code)
{
    const QString literals = QStringLiteral("((?:\"(?:[^\"\\\\\\n]|\\\\.)*\"\\s*)+)");
    static const QRegularExpression translate(
        QStringLiteral("\\btranslate\\(\\s*\"translation\"\\s*,\\s*") + literals
        + QStringLiteral(",\\s*") + literals + QStringLiteral("[,)]"));
    static const QRegularExpression helper(QStringLiteral("(?<![:.>\\w])tr\\(\\s*") + literals
        + QStringLiteral(",\\s*") + literals + QStringLiteral("\\)"));
    QList<Call> calls;
    for (const QRegularExpression *pattern : { &translate, &helper }) {
        for (const QRegularExpressionMatch &match : pattern->globalMatch(code))
            calls.append({ file, literalText(match.captured(1)), literalText(match.captured(2)) });
    }
    return calls;
}

QList<Call> callsInProgram()
{
    QList<Call> calls;
    QDirIterator it(sourceDir() + QStringLiteral("/src"),
        { QStringLiteral("*.cpp"), QStringLiteral("*.h") }, QDir::Files,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            calls += callsIn(path, QString::fromUtf8(file.readAll()));
    }
    return calls;
}

// What is wrong with the texts asked for: a text with no entry in the catalogue's context
// "translation" (an entry without a comment serves every comment), or a known text asked
// for with another comment than its own.
QStringList problems(const QList<Call> &calls, const QList<Message> &catalogue)
{
    QStringList found;
    for (const Call &call : calls) {
        const bool hasEntry
            = std::any_of(catalogue.cbegin(), catalogue.cend(), [&call](const Message &m) {
                  return m.context == QLatin1String("translation") && m.source == call.source
                      && (m.comment.isEmpty() || m.comment == call.comment);
              });
        if (!hasEntry)
            found << QStringLiteral("%1: no catalogue entry for \"%2\" (\"%3\"); add one to "
                                    "src/languages/orvi_pl_PL.ts, empty and unfinished while "
                                    "there is no Polish text")
                         .arg(call.file, call.source, call.comment);

        bool known = false;
        bool commentKnown = false;
        for (const Text &text : ProgramTexts) {
            if (call.source == QString::fromUtf8(text.source)) {
                known = true;
                commentKnown |= call.comment == QString::fromUtf8(text.comment);
            }
        }
        if (known && !commentKnown)
            found << QStringLiteral("%1: \"%2\" asked for with the comment \"%3\"")
                         .arg(call.file, call.source, call.comment);
    }
    return found;
}

} // namespace

class TestCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void programTexts_data();
    void programTexts();
    void formTexts_data();
    void formTexts();
    void emptyEntriesArePresentAndUnfinished();
    void updateIsStoredThreeTimes();
    void programEntriesCarryNoComment();
    void downloadBoxTitleStaysEnglish();

    void textsInCodeHaveEntries();
    void textsInCodeResolve();
    void mistypedTextsAreCaught();

    void formsShowPolish_data();
    void formsShowPolish();
    void changelogWindowReadsPolish();

private:
    QTranslator m_translator;
    QList<Message> m_catalogue;
};

void TestCatalogue::initTestCase()
{
    EmbeddedResources::registerBundle();
    QVERIFY(m_translator.load(QStringLiteral(":/languages/orvi_pl_PL.qm")));
    QVERIFY(QCoreApplication::installTranslator(&m_translator));

    QString error;
    m_catalogue
        = readLinguistSource(sourceDir() + QStringLiteral("/src/languages/orvi_pl_PL.ts"), &error);
    QVERIFY2(!m_catalogue.isEmpty(), qPrintable(error));
}

void TestCatalogue::cleanupTestCase()
{
    QCoreApplication::removeTranslator(&m_translator);
}

void TestCatalogue::programTexts_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("comment");
    QTest::addColumn<QString>("shown");

    for (const Text &text : ProgramTexts) {
        const QString polish = QString::fromUtf8(text.polish);
        QTest::addRow("%s (%s)", text.source, text.comment)
            << QByteArray(text.source) << QByteArray(text.comment)
            << (polish.isEmpty() ? QString::fromUtf8(text.source) : polish);
    }
}

void TestCatalogue::programTexts()
{
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, comment);
    QFETCH(QString, shown);

    QCOMPARE(
        QCoreApplication::translate("translation", source.constData(), comment.constData()), shown);
}

void TestCatalogue::formTexts_data()
{
    QTest::addColumn<QByteArray>("context");
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QString>("polish");

    for (const FormText &text : FormTexts)
        QTest::addRow("%s: %s", text.context, text.source) << QByteArray(
            text.context) << QByteArray(text.source) << QString::fromUtf8(text.polish);
}

void TestCatalogue::formTexts()
{
    QFETCH(QByteArray, context);
    QFETCH(QByteArray, source);
    QFETCH(QString, polish);

    QCOMPARE(QCoreApplication::translate(context.constData(), source.constData()), polish);
}

void TestCatalogue::emptyEntriesArePresentAndUnfinished()
{
    int empty = 0;
    for (const Text &text : ProgramTexts) {
        if (*text.polish)
            continue;
        ++empty;
        const QString source = QString::fromUtf8(text.source);
        const auto entry
            = std::find_if(m_catalogue.cbegin(), m_catalogue.cend(), [&source](const Message &m) {
                  return m.context == QLatin1String("translation") && m.source == source;
              });
        QVERIFY2(entry != m_catalogue.cend(), text.source);
        QVERIFY2(entry->unfinished, text.source);
        QVERIFY2(entry->translation.isEmpty(), text.source);
    }
    QCOMPARE(empty, 8);
}

void TestCatalogue::updateIsStoredThreeTimes()
{
    QStringList comments;
    for (const Message &m : std::as_const(m_catalogue)) {
        if (m.context == QLatin1String("translation") && m.source == QLatin1String("Update")) {
            comments << m.comment;
            QCOMPARE(m.translation, QStringLiteral("Aktualizuj"));
        }
    }
    comments.sort();
    QCOMPARE(comments,
        (QStringList { QString(), QStringLiteral("nc"), QStringLiteral("program update") }));
    // An unknown comment still finds the entry stored without one.
    QCOMPARE(QCoreApplication::translate("translation", "Update", "some other comment"),
        QStringLiteral("Aktualizuj"));
}

void TestCatalogue::programEntriesCarryNoComment()
{
    for (const Text &text : ProgramTexts) {
        const QString source = QString::fromUtf8(text.source);
        if (source == QLatin1String("Update"))
            continue;
        for (const Message &m : std::as_const(m_catalogue)) {
            if (m.context == QLatin1String("translation") && m.source == source)
                QVERIFY2(m.comment.isEmpty(), text.source);
        }
    }
}

void TestCatalogue::downloadBoxTitleStaysEnglish()
{
    QCOMPARE(QCoreApplication::translate("OrviDownloadDialog", "Update"), QStringLiteral("Update"));
}

void TestCatalogue::textsInCodeHaveEntries()
{
    const QList<Call> calls = callsInProgram();
    // Start-up alone asks for four of them.
    QVERIFY2(calls.size() >= 4, qPrintable(QString::number(calls.size())));
    const QStringList found = problems(calls, m_catalogue);
    for (const QString &problem : found)
        qWarning().noquote() << problem;
    QVERIFY2(found.isEmpty(), "texts in code without their catalogue entry, named above");
}

void TestCatalogue::textsInCodeResolve()
{
    // The compiled catalogue agrees with its source for every text the code asks for.
    for (const Call &call : callsInProgram()) {
        const QByteArray source = call.source.toUtf8();
        const QByteArray comment = call.comment.toUtf8();
        QString expected;
        for (const Message &m : std::as_const(m_catalogue)) {
            if (m.context != QLatin1String("translation") || m.source != call.source)
                continue;
            if (m.comment == call.comment || (m.comment.isEmpty() && expected.isEmpty()))
                expected = m.translation.isEmpty() ? call.source : m.translation;
        }
        if (expected.isEmpty())
            continue; // no entry at all: textsInCodeHaveEntries() names it
        QCOMPARE(
            QCoreApplication::translate("translation", source.constData(), comment.constData()),
            expected);
    }
}

void TestCatalogue::mistypedTextsAreCaught()
{
    const QString code = QStringLiteral(
        "MessageBoxHandler::critical(tr(\"Update\", \"program update\"),\n"
        "        tr(\"Cannot run updat!\", \"nc\"));\n"
        "QCoreApplication::translate(\"translation\", \"Show changelog\", \"program update\");\n"
        "QCoreApplication::translate(\"translation\", \"An error occured while rolling back \"\n"
        "        \"update progress.\", \"nc\");\n"
        "QCoreApplication::translate(\"translation\", \"Hide changelog\", \"nc\");\n");
    const QList<Call> calls = callsIn(QStringLiteral("sample.cpp"), code);
    QCOMPARE(calls.size(), 5);
    const QStringList found = problems(calls, m_catalogue);
    QCOMPARE(found.size(), 3);
    QVERIFY(found.at(0).startsWith(QStringLiteral("sample.cpp: \"Show changelog\" asked for "
                                                  "with the comment \"program update\"")));
    QVERIFY(found.at(1).startsWith(QStringLiteral("sample.cpp: no catalogue entry for "
                                                  "\"An error occured while rolling back "
                                                  "update progress.\" (\"nc\")")));
    QVERIFY(found.at(2).startsWith(
        QStringLiteral("sample.cpp: no catalogue entry for \"Cannot run updat!\" (\"nc\")")));
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
    const QString path = QStringLiteral(":/res/%1.ui").arg(form);
    QFile file(path);
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

    const std::unique_ptr<QWidget> root(FormLoader::load(path));
    QCOMPARE(root->windowTitle(), QStringLiteral("Aktualizuj"));
}

void TestCatalogue::changelogWindowReadsPolish()
{
    const std::unique_ptr<QWidget> root(FormLoader::load(QStringLiteral(":/res/Changelog.ui")));
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
