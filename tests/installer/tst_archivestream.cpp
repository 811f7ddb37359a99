#include "archiveextractor.h"
#include "archivestream.h"
#include "testenvironment.h"
#include "testpackage.h"

#include <QFile>
#include <QRandomGenerator>
#include <QtTest>

namespace {
struct Step
{
    int origin; // a ZLIB_FILEFUNC_SEEK_ value
    qint64 offset;
    qint64 length; // bytes asked for after the seek
    bool refused = false; // the seek must fail and leave the position alone
};
} // namespace

Q_DECLARE_METATYPE(QList<Step>)

class tst_ArchiveStream : public QObject
{
    Q_OBJECT

private slots:
    void readsMatchTheFile_data();
    void readsMatchTheFile();
    void extractsArchiveSpreadOverManyWindows();
};

namespace {
constexpr qint64 window = ArchiveStream::windowSize;
// Three and a half windows and an odd tail: more than the stream ever keeps.
const qint64 fileSize = 3 * window + window / 2 + 17;

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

struct OpenStream
{
    zlib_filefunc64_def functions = ArchiveStream::functions();
    voidpf stream = nullptr;

    explicit OpenStream(const QString &path)
    {
        const QByteArray name = QFile::encodeName(path);
        stream = functions.zopen64_file(functions.opaque, name.constData(),
            ZLIB_FILEFUNC_MODE_READ | ZLIB_FILEFUNC_MODE_EXISTING);
    }
    ~OpenStream()
    {
        if (stream)
            functions.zclose_file(functions.opaque, stream);
    }
    long seek(qint64 offset, int origin)
    {
        return functions.zseek64_file(functions.opaque, stream, ZPOS64_T(offset), origin);
    }
    QByteArray read(qint64 length)
    {
        QByteArray bytes(length, '\0');
        const uLong got
            = functions.zread_file(functions.opaque, stream, bytes.data(), uLong(length));
        bytes.truncate(qsizetype(got));
        return bytes;
    }
    qint64 tell() { return qint64(functions.ztell64_file(functions.opaque, stream)); }
    int error() { return functions.zerror_file(functions.opaque, stream); }
};
} // namespace

void tst_ArchiveStream::readsMatchTheFile_data()
{
    QTest::addColumn<QList<Step>>("steps");
    const int set = ZLIB_FILEFUNC_SEEK_SET, cur = ZLIB_FILEFUNC_SEEK_CUR,
              end = ZLIB_FILEFUNC_SEEK_END;

    QTest::newRow("sequential small pieces")
        << QList<Step> { { set, 0, 30 }, { cur, 0, 4000 }, { cur, 0, 16384 }, { cur, 0, 70000 } };
    QTest::newRow("across a window boundary")
        << QList<Step> { { set, window - 10, 20 }, { set, 2 * window - 1, 2 } };
    QTest::newRow("more than every window at once") << QList<Step> { { set, 5, fileSize } };
    // Four windows visited in turn, more than are kept: each comes back after eviction.
    QTest::newRow("far apart in turn") << QList<Step> { { set, 100, 46 }, { set, window + 100, 46 },
        { set, 2 * window + 100, 46 }, { set, 3 * window + 100, 46 }, { set, 100, 46 },
        { set, 3 * window + 120, 46 }, { set, window + 90, 46 } };
    QTest::newRow("central directory and data alternately")
        << QList<Step> { { set, fileSize - 400, 46 }, { set, 0, 9000 }, { set, fileSize - 354, 46 },
               { set, 9000, 9000 }, { set, fileSize - 308, 46 }, { set, 18000, 9000 } };
    QTest::newRow("forward from the current position")
        << QList<Step> { { set, 10, 10 }, { cur, 30, 12 }, { cur, window, 100 } };
    QTest::newRow("from the end") << QList<Step> { { end, -22, 22 }, { end, -window - 3, 50 } };
    QTest::newRow("reading past the end is short")
        << QList<Step> { { set, fileSize - 5, 100 }, { cur, 0, 10 }, { end, 0, 10 } };
    QTest::newRow("seeks outside the file are refused")
        << QList<Step> { { set, 10, 5 }, { set, fileSize + 1, 5, true },
               { end, -fileSize - 1, 5, true }, { cur, fileSize, 5, true }, { 7, 0, 5, true } };
}

void tst_ArchiveStream::readsMatchTheFile()
{
    QFETCH(QList<Step>, steps);
    TestEnvironment environment;
    const QString path = environment.root() + QStringLiteral("/archive.zip");
    const QByteArray contents = randomBytes(fileSize, 1);
    QVERIFY(TestEnvironment::writeFile(path, contents));

    OpenStream stream(path);
    QVERIFY(stream.stream);
    for (const Step &step : steps) {
        const qint64 before = stream.tell();
        QCOMPARE(stream.seek(step.offset, step.origin), step.refused ? -1L : 0L);
        const qint64 position = stream.tell();
        if (step.refused)
            QCOMPARE(position, before);
        const QByteArray expected = contents.mid(position, step.length);
        QCOMPARE(stream.read(step.length), expected);
        QCOMPARE(stream.tell(), position + expected.size());
    }
    QCOMPARE(stream.error(), 0);
}

void tst_ArchiveStream::extractsArchiveSpreadOverManyWindows()
{
    TestEnvironment environment;
    const QString archive = environment.root() + QStringLiteral("/many.zip");
    const QString folder = environment.root() + QStringLiteral("/out/");
    // Enough entries for the central directory to span several windows, between entries of
    // incompressible data larger than a window.
    QMap<QString, QByteArray> files;
    for (int i = 0; i < 1500; ++i) {
        const QString name
            = QStringLiteral("folder%1/a-rather-long-entry-name-%2.dat").arg(i % 7).arg(i);
        files.insert(name,
            i % 500 == 0 ? randomBytes(2 * window + i, quint32(i))
                         : randomBytes(i % 300, quint32(i)));
    }
    TestPackage package;
    for (auto file = files.cbegin(); file != files.cend(); ++file)
        package.addEntry(file.key().toUtf8(), file.value());
    QVERIFY(package.write(archive));
    QVERIFY(QFileInfo(archive).size() > 4 * window);

    ArchiveExtractor extractor(archive, folder);
    QStringList extracted;
    QCOMPARE(extractor.extractAll([&](const QString &name, int) { extracted << name; }),
        ArchiveExtractor::Result::Extracted);
    QCOMPARE(extracted, QStringList(files.keys()));
    for (auto file = files.cbegin(); file != files.cend(); ++file)
        QCOMPARE(TestEnvironment::readFile(folder + file.key()), file.value());
}

QTEST_GUILESS_MAIN(tst_ArchiveStream)
#include "tst_archivestream.moc"
