// The sample main application. With "-updatequery" it prints its component inventory between
// "<s>" and "</s>", taken from the file "components" beside it; with "-updateresult <run id>" it
// prints the result of the update run it started with "-runid <run id>", as the updater
// recorded it; otherwise it stands in for the messenger being started and notes its arguments
// in "orvi7.log" beside it.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

#include <cstdio>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#endif

namespace {

QString besideMe(const QString &fileName)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + fileName;
}

QString attribute(const QString &name, const QString &value)
{
    return QLatin1Char(' ') + name + QStringLiteral("=\"") + value.toHtmlEscaped()
        + QLatin1Char('"');
}

// One line per component: project, name, type and version separated by blanks. Blank lines,
// lines starting with "#" and lines without exactly four fields are not components.
QByteArray inventory(const QByteArray &components)
{
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    QString text = QStringLiteral("<s>\n");
    for (const QString &line : QString::fromUtf8(components).split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
            continue;
        const QStringList fields = trimmed.split(blanks);
        if (fields.size() != 4)
            continue;
        text += QStringLiteral("<component") + attribute(QStringLiteral("project"), fields.at(0))
            + attribute(QStringLiteral("name"), fields.at(1))
            + attribute(QStringLiteral("type"), fields.at(2))
            + attribute(QStringLiteral("version"), fields.at(3)) + QStringLiteral("/>\n");
    }
    text += QStringLiteral("</s>\n");
    return text.toUtf8();
}

int printInventory()
{
    QFile components(besideMe(QStringLiteral("components")));
    if (!components.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "orvi7: cannot read %s\n", qPrintable(components.fileName()));
        return 1;
    }
    const QByteArray output = inventory(components.readAll());
#ifdef Q_OS_WIN
    // The same bytes as everywhere: no carriage return slipped in before each line feed.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::fwrite(output.constData(), 1, size_t(output.size()), stdout);
    return 0;
}

// Where the updater keeps its record of the last run, by the updater's own rule.
QString updaterStateFolder()
{
#ifdef Q_OS_WIN
    const QString home = QDir::fromNativeSeparators(qEnvironmentVariable("APPDATA"));
#else
    QString home = qEnvironmentVariable("XDG_STATE_HOME");
    if (home.isEmpty() || !QDir::isAbsolutePath(home))
        home = QDir::homePath() + QStringLiteral("/.local/state");
#endif
    return home + QStringLiteral("/orvi-updater");
}

// 0 once the run named runId has ended (its result printed), 3 while its relocated copy still
// runs, 1 when the record is missing, unreadable or of another run.
int printUpdateResult(const QString &runId)
{
    QFile file(updaterStateFolder() + QStringLiteral("/last-run.json"));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "orvi7: no update result in %s\n", qPrintable(file.fileName()));
        return 1;
    }
    const QJsonObject record = QJsonDocument::fromJson(file.readAll()).object();
    if (record.value(QStringLiteral("format")).toInt() != 1) {
        std::fprintf(stderr, "orvi7: %s is not an update result\n", qPrintable(file.fileName()));
        return 1;
    }
    const QString recorded = record.value(QStringLiteral("runId")).toString();
    if (recorded != runId) {
        std::fprintf(stderr, "orvi7: the last update run recorded is \"%s\", not \"%s\"\n",
            qPrintable(recorded), qPrintable(runId));
        return 1;
    }
    const QString outcome = record.value(QStringLiteral("outcome")).toString();
    if (outcome == QLatin1String("relocated")) {
        std::printf(
            "update run %s: still running (the relocated copy has not ended)\n", qPrintable(runId));
        return 3;
    }
    std::printf("update run %s ended at %s with exit code %d: %s\n", qPrintable(runId),
        qPrintable(record.value(QStringLiteral("time")).toString()),
        record.value(QStringLiteral("exitCode")).toInt(), qPrintable(outcome));
    const QJsonArray components = record.value(QStringLiteral("components")).toArray();
    for (const QJsonValue &value : components) {
        const QJsonObject component = value.toObject();
        const auto field = [&component](const char *name) {
            const QString text = component.value(QLatin1String(name)).toString();
            return text.isEmpty() ? QStringLiteral("-") : text;
        };
        std::printf("    %s %s %s: %s -> %s\n", qPrintable(field("project")),
            qPrintable(field("name")), qPrintable(field("type")), qPrintable(field("before")),
            qPrintable(field("after")));
    }
    for (const char *name : { "failedPackage", "reason" }) {
        const QString text = record.value(QLatin1String(name)).toString();
        if (!text.isEmpty())
            std::printf("    %s: %s\n", name, qPrintable(text));
    }
    return 0;
}

int noteStart(const QStringList &arguments)
{
    QFile log(besideMe(QStringLiteral("orvi7.log")));
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append))
        return 1;
    log.write(arguments.join(QLatin1Char(' ')).toUtf8() + '\n');
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.contains(QStringLiteral("-updatequery")))
        return printInventory();
    if (const qsizetype result = arguments.indexOf(QStringLiteral("-updateresult"));
        result >= 0 && result + 1 < arguments.size())
        return printUpdateResult(arguments.at(result + 1));
    return noteStart(arguments);
}
