// A main application that does what a script beside it says, so that the tests can fake a
// misbehaving one the same way on every system. The script is "<name>.script" for a program
// copied as "<name>" or "<name>.exe"; each line is one step:
//     out BYTES   BYTES to standard output
//     err BYTES   BYTES to standard error
//     args        the number of arguments, a colon and the arguments joined by blanks
//     hang        no end for a minute
// Every step is flushed at once, so that the order survives channels merged by the reader.

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTimer>

#include <cstdio>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#endif

namespace {

void write(std::FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
#ifdef Q_OS_WIN
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    const QFileInfo self(QCoreApplication::applicationFilePath());
    QFile script(self.absolutePath() + QLatin1Char('/') + self.completeBaseName()
        + QStringLiteral(".script"));
    if (!script.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(script.fileName()));
        return 2;
    }
    for (const QByteArray &line : script.readAll().split('\n')) {
        if (line.startsWith("out ")) {
            write(stdout, line.mid(4));
        } else if (line.startsWith("err ")) {
            write(stderr, line.mid(4));
        } else if (line == "args") {
            const QStringList arguments = QCoreApplication::arguments().mid(1);
            write(stdout,
                QByteArray::number(arguments.size()) + ':'
                    + arguments.join(QLatin1Char(' ')).toLocal8Bit());
        } else if (line == "hang") {
            QTimer::singleShot(60000, &application, &QCoreApplication::quit);
            return application.exec();
        }
    }
    return 0;
}
