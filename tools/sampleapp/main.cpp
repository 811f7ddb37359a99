// The sample main application. With "-updatequery" it prints its component inventory between
// "<s>" and "</s>", taken from the file "components" beside it; otherwise it stands in for the
// messenger being started and notes its arguments in "orvi7.log" beside it.

#include <QCoreApplication>
#include <QFile>
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
    return noteStart(arguments);
}
