#include "entrybuilder.h"
#include "fakehttpserver.h"
#include "filesystem.h"
#include "packagedownload.h"
#include "packagehash.h"
#include "platform.h"
#include "testenvironment.h"
#include "updateentry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <algorithm>
#ifndef Q_OS_WIN
#include <csignal>
#include <sys/resource.h>
#endif
#include <limits>
#include <memory>
#include <optional>
#include <vector>

namespace {

UpdateEntry *entry(const QString &name, const QString &link)
{
    return EntryBuilder().name(name).type("plugin").version("1.0").link(link).make();
}

QByteArray pattern(int size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + i % 23);
    return bytes;
}

QByteArray hashOf(const QByteArray &bytes)
{
    PackageHash hash;
    hash.add(bytes.constData(), bytes.size());
    return hash.result();
}

/// Records what the download signals.
struct DownloadSpies
{
    explicit DownloadSpies(PackageDownload *download)
        : files(download, &PackageDownload::downloadFile)
        , progress(download, &PackageDownload::downloadProgress)
        , finished(download, &PackageDownload::downloadFinished)
        , errors(download, &PackageDownload::error)
    {
    }

    QStringList fileNames() const
    {
        QStringList names;
        for (const QList<QVariant> &arguments : files)
            names.append(arguments.at(0).toString());
        return names;
    }

    QList<int> percentages() const
    {
        QList<int> values;
        for (const QList<QVariant> &arguments : progress)
            values.append(arguments.at(0).toInt());
        return values;
    }

    QString firstError() const
    {
        return errors.isEmpty() ? QString() : errors.at(0).at(0).toString();
    }

    QSignalSpy files;
    QSignalSpy progress;
    QSignalSpy finished;
    QSignalSpy errors;
};

} // namespace

/*
 * The download of the packages: sizes first, then each package in catalogue order into the
 * download folder, resumed after an interruption, checked when complete, and nothing kept of
 * a run that fails.
 */
class TestPackageDownload : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void threePackagesSizeThenFetchInOrder();
    void percentageCoversAllPackages();
    void longerBodyThanAnnouncedStopsAtHundred();
    void unknownSizeAddsZero_data();
    void unknownSizeAddsZero();
    void hugeAnnouncedSizesDoNotOverflow();
    void unknownTotalShowsZeroUntilTheEnd();
    void abortIsSilent_data();
    void abortIsSilent();
    void errorStatusKeepsNoFile_data();
    void errorStatusKeepsNoFile();
    void redirectIsFollowed();
    void linkPortIsHonoured();
    void badLinkIsRefusedBeforeAnyRequest_data();
    void badLinkIsRefusedBeforeAnyRequest();
    void missingSubfolderGivesFileErrorAndNoGet();
    void refusedConnectionNamesServerAndPackage();
    void stalledServerFails();
#ifndef Q_OS_WIN
    // A file size limit and symbolic links, as Unix has them.
    void failedFlushKeepsNoFile();
    void linkAtPackageNameIsNotFollowed_data();
    void linkAtPackageNameIsNotFollowed();
#endif
    void downloadGoesThroughProxy_data();
    void downloadGoesThroughProxy();
    void interruptedTransferResumes_data();
    void interruptedTransferResumes();
    void resumesAreLimited();
    void resumeThatWouldSpliceStartsAgain_data();
    void resumeThatWouldSpliceStartsAgain();
    void boundsStopTheDownload_data();
    void boundsStopTheDownload();
    void refusedPackageKeepsNothing();
    void emptyCatalogueDoesNothing();

private:
    QString fileOf(const QString &path) const
    {
        return m_folder + QLatin1Char('/') + path;
    }
    /// A download into m_folder whose check answers with m_refusals by entry name.
    void makeDownload(PackageDownload::Limits limits = PackageDownload::Limits());
    /// The same, failing after transferTimeout ms without data.
    void makeDownload(int transferTimeout);
    /// Makes entries, taken over, the catalogue.
    void setCatalogue(const QVector<UpdateEntry *> &entries);
    QVector<UpdateEntry *> catalogue() const;

    std::unique_ptr<TestEnvironment> m_environment;
    std::unique_ptr<FakeHttpServer> m_server;
    QString m_folder;
    std::vector<std::unique_ptr<UpdateEntry>> m_entries;
    QMap<QString, QString> m_refusals;
    /// When set, the check refuses every file with another hash.
    std::optional<QByteArray> m_acceptedHash;
    /// Each check: the entry's name and the hash it was given.
    QList<QPair<QString, QByteArray>> m_checks;
    std::unique_ptr<PackageDownload> m_download;
};

void TestPackageDownload::init()
{
    m_environment = std::make_unique<TestEnvironment>();
    QVERIFY(m_environment->isValid());
    m_server = std::make_unique<FakeHttpServer>();
    QVERIFY(m_server->listen());
    m_folder = Platform::downloadFolder();
    QVERIFY(m_folder.startsWith(m_environment->root()));
    QVERIFY(QDir().mkpath(m_folder));
    m_refusals.clear();
    m_acceptedHash.reset();
    m_checks.clear();
    makeDownload();
}

void TestPackageDownload::cleanup()
{
    m_download.reset();
    FileSystem::setSpaceReporter(FileSystem::SpaceReporter());
    m_entries.clear();
    m_server.reset();
    m_environment.reset();
}

void TestPackageDownload::makeDownload(int transferTimeout)
{
    PackageDownload::Limits limits;
    limits.transferTimeout = transferTimeout;
    makeDownload(limits);
}

void TestPackageDownload::makeDownload(PackageDownload::Limits limits)
{
    m_download = std::make_unique<PackageDownload>(
        m_folder,
        [this](const UpdateEntry &entry, const QByteArray &fileHash) {
            const QString name = QString::fromStdString(entry.name());
            m_checks.append({ name, fileHash });
            if (m_acceptedHash && *m_acceptedHash != fileHash)
                return QStringLiteral("The package %1 was altered.").arg(name);
            return m_refusals.value(name);
        },
        limits);
}

void TestPackageDownload::setCatalogue(const QVector<UpdateEntry *> &entries)
{
    m_entries.clear();
    for (UpdateEntry *entry : entries)
        m_entries.emplace_back(entry);
}

QVector<UpdateEntry *> TestPackageDownload::catalogue() const
{
    QVector<UpdateEntry *> views;
    for (const std::unique_ptr<UpdateEntry> &entry : m_entries)
        views.append(entry.get());
    return views;
}

void TestPackageDownload::threePackagesSizeThenFetchInOrder()
{
    const QList<QByteArray> bodies = { pattern(1000, 'a'), pattern(2000, 'b'), pattern(3000, 'c') };
    QVector<UpdateEntry *> entries;
    for (int i = 0; i < 3; ++i) {
        const QByteArray path = "/p" + QByteArray::number(i) + ".zip";
        FakeHttpServer::Response response = FakeHttpServer::Response::ok(bodies.at(i));
        response.chunkSize = 400;
        response.chunkInterval = 10;
        m_server->setResponse(path, response);
        entries.append(
            entry(QStringLiteral("package %1").arg(i), m_server->url(QString::fromLatin1(path))));
    }
    setCatalogue(entries);
    DownloadSpies spies(m_download.get());

    m_download->begin(catalogue());
    QCOMPARE(m_download->state(), PackageDownload::State::Sizing);
    QVERIFY(spies.finished.wait(10000));

    QCOMPARE(m_server->requestLines(),
        QStringList({ QStringLiteral("HEAD /p0.zip"), QStringLiteral("HEAD /p1.zip"),
            QStringLiteral("HEAD /p2.zip"), QStringLiteral("GET /p0.zip"),
            QStringLiteral("GET /p1.zip"), QStringLiteral("GET /p2.zip") }));
    // Every request, each GET included, went out only after the one before was answered.
    const QList<FakeHttpServer::Request> requests = m_server->requests();
    for (int i = 0; i < requests.size(); ++i)
        QCOMPARE(requests.at(i).completedBefore, i);
    QCOMPARE(spies.fileNames(),
        QStringList({ QStringLiteral("package 0"), QStringLiteral("package 1"),
            QStringLiteral("package 2") }));
    QCOMPARE(spies.finished.count(), 1);
    QVERIFY2(spies.errors.isEmpty(), qPrintable(spies.firstError()));
    QCOMPARE(m_download->state(), PackageDownload::State::Idle);
    QCOMPARE(spies.percentages().constLast(), 100);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(
            TestEnvironment::readFile(fileOf(QStringLiteral("/p%1.zip").arg(i))), bodies.at(i));
    // The file name keeps the doubled separator of folder and path.
    QVERIFY(QFile::exists(m_folder + QStringLiteral("//p0.zip")));
    QVERIFY(!spies.finished.wait(200));
}

void TestPackageDownload::percentageCoversAllPackages()
{
    FakeHttpServer::Response first = FakeHttpServer::Response::ok(pattern(1000, 'a'));
    first.chunkSize = 500;
    first.chunkInterval = 150;
    m_server->setResponse("/first.zip", first);
    m_server->setResponse("/second.zip", FakeHttpServer::Response::ok(pattern(3000, 'b')));
    setCatalogue({ entry(QStringLiteral("first"), m_server->url(QStringLiteral("/first.zip"))),
        entry(QStringLiteral("second"), m_server->url(QStringLiteral("/second.zip"))) });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    QVERIFY(spies.finished.wait(10000));

    const QList<int> values = spies.percentages();
    QVERIFY2(values.contains(12), qPrintable(QString::number(values.value(0)))); // 500 of 4000
    QVERIFY(values.contains(25)); // 1000 of 4000
    QCOMPARE(values.constLast(), 100);
    QCOMPARE(values.indexOf(12), 0);
    for (int i = 1; i < values.size(); ++i)
        QVERIFY(values.at(i) >= values.at(i - 1));
}

void TestPackageDownload::longerBodyThanAnnouncedStopsAtHundred()
{
    FakeHttpServer::Response announced;
    announced.contentLength = 1000;
    m_server->setHeadResponse("/big.zip", announced);
    FakeHttpServer::Response body = FakeHttpServer::Response::ok(pattern(1500, 'x'));
    body.chunkSize = 500;
    body.chunkInterval = 20;
    m_server->setResponse("/big.zip", body);
    setCatalogue({ entry(QStringLiteral("big"), m_server->url(QStringLiteral("/big.zip"))) });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    QVERIFY(spies.finished.wait(10000));
    const QList<int> values = spies.percentages();
    QCOMPARE(*std::max_element(values.begin(), values.end()), 100);
    QVERIFY(values.contains(50));
    QCOMPARE(TestEnvironment::readFile(fileOf(QStringLiteral("/big.zip"))).size(), 1500);
}

void TestPackageDownload::unknownSizeAddsZero_data()
{
    QTest::addColumn<int>("headStatus");
    QTest::addColumn<bool>("withContentLength");
    QTest::addColumn<QByteArray>("extraHeaders");
    QTest::addColumn<bool>("hangUp");
    QTest::addColumn<bool>("redirected");

    const QByteArray none;
    QTest::newRow("no content length") << 200 << false << none << false << false;
    QTest::newRow("HEAD 405") << 405 << true << none << false << false;
    QTest::newRow("HEAD 501") << 501 << true << none << false << false;
    QTest::newRow("HEAD 403") << 403 << true << none << false << false;
    QTest::newRow("HEAD 404") << 404 << true << none << false << false;
    QTest::newRow("HEAD 500") << 500 << true << none << false << false;
    QTest::newRow("HEAD connection closed") << 200 << true << none << true << false;
    QTest::newRow("length not a number")
        << 200 << false << QByteArray("Content-Length: 5000x\r\n") << false << false;
    // What a request sent twice around a redirect leaves: the redirect's length beside the
    // final one's.
    QTest::newRow("stale length after a redirect")
        << 200 << true << QByteArray("Content-Length: 48\r\n") << false << true;
}

void TestPackageDownload::unknownSizeAddsZero()
{
    QFETCH(int, headStatus);
    QFETCH(bool, withContentLength);
    QFETCH(QByteArray, extraHeaders);
    QFETCH(bool, hangUp);
    QFETCH(bool, redirected);

    m_server->setResponse("/known.zip", FakeHttpServer::Response::ok(pattern(3000, 'k')));
    FakeHttpServer::Response get = FakeHttpServer::Response::ok(pattern(1000, 'u'));
    get.extraHeaders = extraHeaders;
    FakeHttpServer::Response head = FakeHttpServer::Response::withStatus(headStatus);
    head.body.clear();
    head.withContentLength = withContentLength;
    head.contentLength = 5000; // what an error page might announce: it must not count
    head.extraHeaders = extraHeaders;
    head.hangUp = hangUp;
    const QByteArray path = redirected ? "/moved.zip" : "/unknown.zip";
    m_server->setResponse(path, get);
    m_server->setHeadResponse(path, head);
    if (redirected)
        m_server->setResponse("/unknown.zip", FakeHttpServer::Response::redirect(path));
    setCatalogue({ entry(QStringLiteral("unknown"), m_server->url(QStringLiteral("/unknown.zip"))),
        entry(QStringLiteral("known"), m_server->url(QStringLiteral("/known.zip"))) });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    QVERIFY2(spies.finished.wait(10000), qPrintable(spies.firstError()));
    QVERIFY(spies.errors.isEmpty());
    // Only the second package's 3000 bytes count: the first one's 1000 make 33.
    const QList<int> values = spies.percentages();
    QVERIFY2(values.contains(33), qPrintable(QString::number(values.constFirst())));
    QCOMPARE(*std::max_element(values.begin(), values.end()), 100);
    QCOMPARE(values.constLast(), 100);
    QCOMPARE(TestEnvironment::readFile(fileOf(QStringLiteral("/unknown.zip"))), pattern(1000, 'u'));
}

void TestPackageDownload::hugeAnnouncedSizesDoNotOverflow()
{
    FakeHttpServer::Response huge;
    huge.contentLength = std::numeric_limits<qint64>::max();
    for (const QByteArray &path : { QByteArray("/a.zip"), QByteArray("/b.zip") }) {
        m_server->setHeadResponse(path, huge);
        m_server->setResponse(path, FakeHttpServer::Response::ok(pattern(100, 'h')));
    }
    setCatalogue({ entry(QStringLiteral("a"), m_server->url(QStringLiteral("/a.zip"))),
        entry(QStringLiteral("b"), m_server->url(QStringLiteral("/b.zip"))) });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    QVERIFY2(spies.finished.wait(10000), qPrintable(spies.firstError()));
    QList<int> values = spies.percentages();
    QCOMPARE(values.takeLast(), 100);
    QCOMPARE(values, QList<int>(values.size(), 0));
}

void TestPackageDownload::unknownTotalShowsZeroUntilTheEnd()
{
    FakeHttpServer::Response response = FakeHttpServer::Response::ok(pattern(2000, 'n'));
    response.withContentLength = false;
    response.chunkSize = 500;
    response.chunkInterval = 20;
    m_server->setResponse("/n.zip", response);
    setCatalogue({ entry(QStringLiteral("n"), m_server->url(QStringLiteral("/n.zip"))) });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    QVERIFY(spies.finished.wait(10000));
    QList<int> values = spies.percentages();
    QVERIFY(values.size() >= 2);
    QCOMPARE(values.takeLast(), 100);
    QCOMPARE(values, QList<int>(values.size(), 0));
    QCOMPARE(TestEnvironment::readFile(fileOf(QStringLiteral("/n.zip"))).size(), 2000);
}

void TestPackageDownload::abortIsSilent_data()
{
    QTest::addColumn<bool>("duringGet");
    QTest::newRow("sizing") << false;
    QTest::newRow("fetching") << true;
}

void TestPackageDownload::abortIsSilent()
{
    QFETCH(bool, duringGet);

    FakeHttpServer::Response stalled = FakeHttpServer::Response::ok(pattern(1000, 's'));
    stalled.sendLimit = 100;
    stalled.closeAtLimit = false;
    m_server->setResponse("/s.zip", stalled);
    if (!duringGet) {
        FakeHttpServer::Response silent;
        silent.silent = true;
        m_server->setHeadResponse("/s.zip", silent);
    } else {
        m_server->setHeadResponse("/s.zip", FakeHttpServer::Response::ok(pattern(1000, 's')));
    }
    m_server->setResponse("/t.zip", FakeHttpServer::Response::ok("t"));
    setCatalogue({ entry(QStringLiteral("s"), m_server->url(QStringLiteral("/s.zip"))),
        entry(QStringLiteral("t"), m_server->url(QStringLiteral("/t.zip"))) });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    if (duringGet)
        QVERIFY(spies.progress.wait(10000));
    else
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), 1, 10000);
    QCOMPARE(m_download->state(),
        duringGet ? PackageDownload::State::Downloading : PackageDownload::State::Sizing);

    m_download->abort();
    QVERIFY(!spies.errors.wait(300));
    QVERIFY(spies.finished.isEmpty());
    QCOMPARE(m_download->state(), PackageDownload::State::Aborted);
    QCOMPARE(m_server->requests().size(), duringGet ? 3 : 1);
    // Cancel keeps nothing, as a failure does.
    QVERIFY(
        QDir(m_folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}

void TestPackageDownload::errorStatusKeepsNoFile_data()
{
    QTest::addColumn<QByteArray>("failingMethod");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");

    QTest::newRow("GET 404") << QByteArray("GET") << 404 << QStringLiteral("Not Found");
    QTest::newRow("GET 500") << QByteArray("GET") << 500 << QStringLiteral("Internal Server Error");
}

void TestPackageDownload::errorStatusKeepsNoFile()
{
    QFETCH(QByteArray, failingMethod);
    QFETCH(int, status);
    QFETCH(QString, reason);

    m_server->setResponse("/gone.zip", FakeHttpServer::Response::withStatus(status));
    m_server->setHeadResponse("/gone.zip", FakeHttpServer::Response::ok(pattern(10, 'g')));
    m_server->setResponse("/before.zip", FakeHttpServer::Response::ok("before"));
    m_server->setResponse("/after.zip", FakeHttpServer::Response::ok("after"));
    const QString link = m_server->url(QStringLiteral("/gone.zip"));
    setCatalogue({ entry(QStringLiteral("before"), m_server->url(QStringLiteral("/before.zip"))),
        entry(QStringLiteral("gone"), link),
        entry(QStringLiteral("after"), m_server->url(QStringLiteral("/after.zip"))) });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    QVERIFY(spies.errors.wait(10000));

    const QString text = spies.firstError();
    QVERIFY2(text.contains(QString::number(status)) && text.contains(reason) && text.contains(link),
        qPrintable(text));
    QVERIFY(!spies.errors.wait(300));
    QCOMPARE(spies.errors.count(), 1);
    QVERIFY(spies.finished.isEmpty());
    QVERIFY(!QFile::exists(fileOf(QStringLiteral("/gone.zip"))));
    QVERIFY(!QFile::exists(fileOf(QStringLiteral("/after.zip"))));
    QVERIFY(m_server->requestLines().contains(QStringLiteral("GET /before.zip")));
    QVERIFY(!QFile::exists(fileOf(QStringLiteral("/before.zip"))));
    QVERIFY(!m_server->requestLines().contains(QStringLiteral("GET /after.zip")));
}

void TestPackageDownload::redirectIsFollowed()
{
    m_server->setResponse("/old.zip", FakeHttpServer::Response::redirect("/new.zip", 301));
    m_server->setResponse("/new.zip", FakeHttpServer::Response::ok(pattern(700, 'r')));
    setCatalogue({ entry(QStringLiteral("moved"), m_server->url(QStringLiteral("/old.zip"))) });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    QVERIFY2(spies.finished.wait(10000), qPrintable(spies.firstError()));
    QCOMPARE(TestEnvironment::readFile(fileOf(QStringLiteral("/old.zip"))), pattern(700, 'r'));
    QVERIFY(!QFile::exists(fileOf(QStringLiteral("/new.zip"))));
    QCOMPARE(spies.percentages().constLast(), 100);
    // Qt may send a request again on a fresh connection after a redirect; a repeat is no fault.
    QStringList lines = m_server->requestLines();
    lines.removeDuplicates();
    QCOMPARE(lines,
        QStringList({ QStringLiteral("HEAD /old.zip"), QStringLiteral("HEAD /new.zip"),
            QStringLiteral("GET /old.zip"), QStringLiteral("GET /new.zip") }));
}

void TestPackageDownload::linkPortIsHonoured()
{
    FakeHttpServer other;
    QVERIFY(other.listen());
    m_server->setResponse("/here.zip", FakeHttpServer::Response::ok("here"));
    other.setResponse("/there.zip", FakeHttpServer::Response::ok("there"));
    setCatalogue({ entry(QStringLiteral("here"), m_server->url(QStringLiteral("/here.zip"))),
        entry(QStringLiteral("there"), other.url(QStringLiteral("/there.zip"))) });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    QVERIFY2(spies.finished.wait(10000), qPrintable(spies.firstError()));

    QCOMPARE(m_server->requestLines(),
        QStringList({ QStringLiteral("HEAD /here.zip"), QStringLiteral("GET /here.zip") }));
    QCOMPARE(other.requestLines(),
        QStringList({ QStringLiteral("HEAD /there.zip"), QStringLiteral("GET /there.zip") }));
    for (const FakeHttpServer::Request &request : other.requests())
        QCOMPARE(request.host, "127.0.0.1:" + QByteArray::number(other.port()));
    QCOMPARE(TestEnvironment::readFile(fileOf(QStringLiteral("/there.zip"))), QByteArray("there"));
}

void TestPackageDownload::badLinkIsRefusedBeforeAnyRequest_data()
{
    QTest::addColumn<QString>("link"); // %1 stands for the server's port

    QTest::newRow("dot-dot segment") << QStringLiteral("http://127.0.0.1:%1/../escape.zip");
    QTest::newRow("encoded dot-dot")
        << QStringLiteral("http://127.0.0.1:%1/a/%2e%2e/%2e%2e/escape.zip");
    QTest::newRow("dot-dot inside") << QStringLiteral("http://127.0.0.1:%1/a/../b.zip");
    QTest::newRow("backslash") << QStringLiteral("http://127.0.0.1:%1/a%5C..%5Cb.zip");
    QTest::newRow("empty path") << QStringLiteral("http://127.0.0.1:%1");
    QTest::newRow("folder itself") << QStringLiteral("http://127.0.0.1:%1/");
    QTest::newRow("ftp") << QStringLiteral("ftp://127.0.0.1:%1/x.zip");
    QTest::newRow("file") << QStringLiteral("file:///etc/passwd");
    QTest::newRow("no host") << QStringLiteral("http:///x.zip");
    QTest::newRow("relative") << QStringLiteral("x.zip");
    QTest::newRow("port 0") << QStringLiteral("http://127.0.0.1:0/x.zip");
    QTest::newRow("port 65536") << QStringLiteral("http://127.0.0.1:65536/x.zip");
    QTest::newRow("port 4294967376") << QStringLiteral("http://127.0.0.1:4294967376/x.zip");
}

void TestPackageDownload::badLinkIsRefusedBeforeAnyRequest()
{
    QFETCH(QString, link);
    if (link.contains(QLatin1String("%1")))
        link = link.arg(m_server->port());

    // A good package first: had anything been queued, its HEAD would reach the server.
    m_server->setResponse("/good.zip", FakeHttpServer::Response::ok("good"));
    setCatalogue({ entry(QStringLiteral("good"), m_server->url(QStringLiteral("/good.zip"))),
        entry(QStringLiteral("bad"), link) });
    DownloadSpies spies(m_download.get());
    QSignalSpy received(m_server.get(), &FakeHttpServer::requestReceived);
    m_download->begin(catalogue());

    QCOMPARE(spies.errors.count(), 1);
    // Named as the URL reads it, or as written where the URL cannot keep it (a port past 65535).
    QVERIFY2(spies.firstError().contains(QUrl(link).toDisplayString())
            || spies.firstError().contains(link),
        qPrintable(spies.firstError()));
    QVERIFY(!received.wait(300));
    QVERIFY(m_server->requests().isEmpty());
    QVERIFY(spies.files.isEmpty());
    QVERIFY(spies.finished.isEmpty());
    QVERIFY(!QFile::exists(m_environment->tempFolder() + QStringLiteral("/escape.zip")));
}

void TestPackageDownload::missingSubfolderGivesFileErrorAndNoGet()
{
    m_server->setResponse("/dir/x.zip", FakeHttpServer::Response::ok("x"));
    setCatalogue(
        { entry(QStringLiteral("x"), m_server->url(QStringLiteral("/dir/x.zip?v=2#top"))) });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    QVERIFY(spies.errors.wait(10000));

    QFile expected(m_folder + QStringLiteral("//dir/x.zip"));
    QVERIFY(!expected.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(spies.firstError(), expected.errorString());
    QCOMPARE(spies.fileNames(), QStringList(QStringLiteral("x")));
    QCOMPARE(m_download->state(), PackageDownload::State::Downloading);
    QSignalSpy received(m_server.get(), &FakeHttpServer::requestReceived);
    QVERIFY(!received.wait(300));
    QCOMPARE(m_server->requestLines(), QStringList(QStringLiteral("HEAD /dir/x.zip")));
}

void TestPackageDownload::refusedConnectionNamesServerAndPackage()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 port = closed.serverPort();
    const QString link = QStringLiteral("http://127.0.0.1:%1/pkg.zip").arg(port);
    closed.close();

    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(manager.head(QNetworkRequest(QUrl(link))));
    QSignalSpy replyDone(reply.get(), &QNetworkReply::finished);
    QVERIFY(replyDone.wait(10000));
    QCOMPARE(reply->error(), QNetworkReply::ConnectionRefusedError);

    setCatalogue({ entry(QStringLiteral("pkg"), link) });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    QVERIFY(spies.errors.wait(10000));
    QCOMPARE(spies.firstError(),
        QStringLiteral("The download of pkg.zip from the server 127.0.0.1:%1 failed: %2")
            .arg(port)
            .arg(reply->errorString()));
    // The refused HEAD only left the size unknown; the refused GET ended the run.
    QCOMPARE(spies.fileNames(), QStringList(QStringLiteral("pkg")));
    QVERIFY(spies.finished.isEmpty());
}

void TestPackageDownload::stalledServerFails()
{
    FakeHttpServer::Response stalled = FakeHttpServer::Response::ok(pattern(1000, 's'));
    stalled.sendLimit = 300;
    stalled.closeAtLimit = false;
    m_server->setResponse("/s.zip", stalled);
    m_server->setHeadResponse("/s.zip", FakeHttpServer::Response::ok(pattern(1000, 's')));
    makeDownload(400);
    setCatalogue({ entry(QStringLiteral("s"), m_server->url(QStringLiteral("/s.zip"))) });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    QVERIFY(spies.errors.wait(10000));
    QVERIFY2(spies.firstError().contains(QLatin1String("stopped answering")),
        qPrintable(spies.firstError()));
    QCOMPARE(spies.percentages().constLast(), 30);
    QVERIFY(!QFile::exists(fileOf(QStringLiteral("/s.zip"))));
    QVERIFY(spies.finished.isEmpty());
}

#ifndef Q_OS_WIN
void TestPackageDownload::failedFlushKeepsNoFile()
{
    // Writes are buffered until the final flush, which the file size limit cuts short.
    struct FileSizeLimit
    {
        rlimit old {};
        explicit FileSizeLimit(rlim_t bytes)
        {
            ::signal(SIGXFSZ, SIG_IGN);
            ::getrlimit(RLIMIT_FSIZE, &old);
            rlimit limit = old;
            limit.rlim_cur = bytes;
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &old); }
    };
    m_server->setResponse("/full.zip", FakeHttpServer::Response::ok(pattern(100, 'f')));
    setCatalogue({ entry(QStringLiteral("full"), m_server->url(QStringLiteral("/full.zip"))) });
    DownloadSpies spies(m_download.get());
    {
        const FileSizeLimit limit(50);
        m_download->begin(catalogue());
        QVERIFY(spies.errors.wait(10000));
    }
    QVERIFY(spies.finished.isEmpty());
    QVERIFY(!QFile::exists(fileOf(QStringLiteral("/full.zip"))));
}

void TestPackageDownload::linkAtPackageNameIsNotFollowed_data()
{
    QTest::addColumn<bool>("targetExists");
    QTest::newRow("link to a file elsewhere") << true;
    QTest::newRow("link to nothing yet") << false;
}

// Whoever planted the link meant the package to overwrite or create a file of their choice.
void TestPackageDownload::linkAtPackageNameIsNotFollowed()
{
    QFETCH(bool, targetExists);
    const QString target = m_environment->root() + QStringLiteral("/target");
    if (targetExists)
        QVERIFY(TestEnvironment::writeFile(target, "kept"));
    QVERIFY(QFile::link(target, fileOf(QStringLiteral("/p.zip"))));
    m_server->setResponse("/p.zip", FakeHttpServer::Response::ok(pattern(100, 'p')));
    setCatalogue({ entry(QStringLiteral("p"), m_server->url(QStringLiteral("/p.zip"))) });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    QVERIFY2(spies.finished.wait(10000), qPrintable(spies.firstError()));

    QVERIFY(!QFileInfo(fileOf(QStringLiteral("/p.zip"))).isSymLink());
    QCOMPARE(TestEnvironment::readFile(fileOf(QStringLiteral("/p.zip"))), pattern(100, 'p'));
    QCOMPARE(QFileInfo::exists(target), targetExists);
    if (targetExists)
        QCOMPARE(TestEnvironment::readFile(target), QByteArray("kept"));
}
#endif

void TestPackageDownload::interruptedTransferResumes_data()
{
    QTest::addColumn<QByteArray>("validators");
    QTest::addColumn<bool>("honoursRanges");
    QTest::addColumn<bool>("stalls");
    QTest::addColumn<QByteArray>("range"); // of the second GET
    QTest::addColumn<QByteArray>("ifRange"); // of the second GET

    const QByteArray date = "Mon, 07 Dec 2026 10:00:00 GMT";
    const QByteArray from = "bytes=600-";
    QTest::newRow("ETag") << QByteArray("ETag: \"v1\"\r\n") << true << false << from
                          << QByteArray("\"v1\"");
    QTest::newRow("Last-Modified") << "Last-Modified: " + date + "\r\n"
                                   << true << false << from << date;
    QTest::newRow("weak ETag: Last-Modified") << "ETag: W/\"v1\"\r\nLast-Modified: " + date + "\r\n"
                                              << true << false << from << date;
    QTest::newRow("stalled") << QByteArray("ETag: \"v1\"\r\n") << true << true << from
                             << QByteArray("\"v1\"");
    QTest::newRow("no validator: from zero")
        << QByteArray() << true << false << QByteArray() << QByteArray();
    QTest::newRow("range ignored: from zero")
        << QByteArray("ETag: \"v1\"\r\n") << false << false << from << QByteArray("\"v1\"");
}

void TestPackageDownload::interruptedTransferResumes()
{
    QFETCH(QByteArray, validators);
    QFETCH(bool, honoursRanges);
    QFETCH(bool, stalls);
    QFETCH(QByteArray, range);
    QFETCH(QByteArray, ifRange);

    const QByteArray body = pattern(1000, 'r');
    FakeHttpServer::Response response = FakeHttpServer::Response::ok(body);
    response.extraHeaders = validators;
    response.honoursRanges = honoursRanges;
    response.sendLimit = 600;
    response.closeAtLimit = !stalls;
    response.limitedAnswers = 1;
    m_server->setResponse("/r.zip", response);
    makeDownload(500);
    setCatalogue({ entry(QStringLiteral("r"), m_server->url(QStringLiteral("/r.zip"))) });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    QVERIFY2(spies.finished.wait(10000), qPrintable(spies.firstError()));

    QCOMPARE(TestEnvironment::readFile(fileOf(QStringLiteral("/r.zip"))), body);
    // The hash taken on the way, which the signature check relies on, spans the resume.
    QCOMPARE(
        m_checks, (QList<QPair<QString, QByteArray>> { { QStringLiteral("r"), hashOf(body) } }));
    // Qt itself may send the second GET twice when the cut connection closes under it.
    const QStringList lines = m_server->requestLines();
    QVERIFY2(lines.size() == 3 || lines.size() == 4, qPrintable(lines.join(QLatin1String(", "))));
    QCOMPARE(lines.constFirst(), QStringLiteral("HEAD /r.zip"));
    QCOMPARE(lines.count(QStringLiteral("GET /r.zip")), lines.size() - 1);
    const FakeHttpServer::Request second = m_server->requests().constLast();
    QCOMPARE(second.range, range);
    QCOMPARE(second.ifRange, ifRange);
    const QList<int> values = spies.percentages();
    QVERIFY(values.contains(60));
    QCOMPARE(*std::max_element(values.begin(), values.end()), 100);
    QCOMPARE(values.constLast(), 100);
}

void TestPackageDownload::resumesAreLimited()
{
    FakeHttpServer::Response cut = FakeHttpServer::Response::ok(pattern(1000, 'c'));
    cut.sendLimit = 300;
    m_server->setResponse("/c.zip", cut);
    setCatalogue({ entry(QStringLiteral("c"), m_server->url(QStringLiteral("/c.zip"))) });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    QVERIFY(spies.errors.wait(10000));
    // Three resumes after the first GET; Qt itself may send one of them twice when a kept-alive
    // connection closes under it.
    const qsizetype gets = m_server->requestLines().count(QStringLiteral("GET /c.zip"));
    QVERIFY2(gets == 4 || gets == 5, qPrintable(QString::number(gets)));
    QVERIFY(!QFile::exists(fileOf(QStringLiteral("/c.zip"))));
    QVERIFY(spies.finished.isEmpty());
}

void TestPackageDownload::resumeThatWouldSpliceStartsAgain_data()
{
    QTest::addColumn<QByteArray>("laterValidator"); // of the file that replaced the first
    QTest::addColumn<int>("checks");
    QTest::addColumn<bool>("completes");

    const QByteArray etag = "ETag: \"v1\"\r\n";
    QTest::newRow("changed ETag") << QByteArray("ETag: \"v2\"\r\n") << 1 << true;
    QTest::newRow("changed Last-Modified")
        << QByteArray("Last-Modified: Tue, 08 Dec 2026 10:00:00 GMT\r\n") << 1 << true;
    QTest::newRow("no validator") << QByteArray() << 1 << true;
    // The halves splice under one validator: the check refuses them, the whole file follows.
    QTest::newRow("same ETag: fetched whole once more") << etag << 2 << true;
    QTest::newRow("same ETag: the whole file refused too") << etag << 2 << false;
}

void TestPackageDownload::resumeThatWouldSpliceStartsAgain()
{
    QFETCH(QByteArray, laterValidator);
    QFETCH(int, checks);
    QFETCH(bool, completes);

    // Cut at 600 bytes; then the file is replaced, and the server (or a cache) sends the rest
    // of the new one whatever If-Range names.
    FakeHttpServer::Response first = FakeHttpServer::Response::ok(pattern(1000, 'o'));
    first.extraHeaders = "ETag: \"v1\"\r\n";
    first.honoursRanges = true;
    first.sendLimit = 600;
    m_server->setResponse("/v.zip", first);
    const QByteArray newer = pattern(1000, 'n');
    FakeHttpServer::Response replaced = FakeHttpServer::Response::ok(newer);
    replaced.extraHeaders = laterValidator;
    replaced.honoursRanges = true;
    replaced.ignoresIfRange = true;
    connect(m_server.get(), &FakeHttpServer::requestReceived, this, [&] {
        if (m_server->requestLines().count(QStringLiteral("GET /v.zip")) == 2)
            m_server->setResponse("/v.zip", replaced);
    });
    m_acceptedHash = completes ? hashOf(newer) : QByteArray("none");
    setCatalogue({ entry(QStringLiteral("v"), m_server->url(QStringLiteral("/v.zip"))) });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    QTRY_COMPARE_WITH_TIMEOUT(spies.finished.count() + spies.errors.count(), 1, 10000);

    QCOMPARE(m_server->requests().at(2).range, QByteArray("bytes=600-"));
    QCOMPARE(m_server->requests().constLast().range, QByteArray());
    QCOMPARE(m_checks.size(), checks);
    QCOMPARE(m_checks.constLast().second, hashOf(newer));
    QCOMPARE(TestEnvironment::readFile(fileOf(QStringLiteral("/v.zip"))),
        completes ? newer : QByteArray());
}

void TestPackageDownload::boundsStopTheDownload_data()
{
    QTest::addColumn<qint64>("size"); // announced by the update server; -1 none
    QTest::addColumn<qint64>("sizeCap");
    QTest::addColumn<qint64>("room"); // free space above the floor; -1: the disk's own
    QTest::addColumn<bool>("withContentLength");
    QTest::addColumn<int>("cutAt"); // where the first answer ends; -1: never
    QTest::addColumn<bool>("brokenChunks"); // the cut is a malformed chunk line
    QTest::addColumn<int>("gets");
    QTest::addColumn<QString>("error"); // a part of it; empty: the download completes

    const qint64 cap = PackageDownload::builtInSizeCap();
    const QString tooLarge = QStringLiteral("than the 1000 bytes it may have");
    const QString noRoom = QStringLiteral("leaves at least 64 MiB free");
    // The server's body is 1500 bytes.
    QTest::newRow("shorter than the size: resumed")
        << qint64(1500) << cap << qint64(-1) << false << 600 << false << 2 << QString();
    QTest::newRow("malformed chunk line before the size: resumed")
        << qint64(1500) << cap << qint64(-1) << false << 600 << true << 2 << QString();
    QTest::newRow("longer than the size")
        << qint64(1000) << cap << qint64(-1) << false << -1 << false << 1 << tooLarge;
    QTest::newRow("length above the size")
        << qint64(1000) << cap << qint64(-1) << true << -1 << false << 1 << tooLarge;
    QTest::newRow("no length, no size: the cap")
        << qint64(-1) << qint64(1000) << qint64(-1) << false << -1 << false << 1 << tooLarge;
    QTest::newRow("no room for the announced size: no GET")
        << qint64(1500) << cap << qint64(1000) << true << -1 << false << 0 << noRoom;
    QTest::newRow("unknown size: no room at the write")
        << qint64(-1) << cap << qint64(1000) << true << -1 << false << 1 << noRoom;
}

void TestPackageDownload::boundsStopTheDownload()
{
    QFETCH(qint64, size);
    QFETCH(qint64, sizeCap);
    QFETCH(qint64, room);
    QFETCH(bool, withContentLength);
    QFETCH(int, cutAt);
    QFETCH(bool, brokenChunks);
    QFETCH(int, gets);
    QFETCH(QString, error);

    if (room >= 0)
        FileSystem::setSpaceReporter([&](const QString &path) {
            return QDir::cleanPath(path) == QDir::cleanPath(m_folder)
                ? PackageFile::FreeSpaceFloor + room
                : -1;
        });
    FakeHttpServer::Response response = FakeHttpServer::Response::ok(pattern(1500, 'b'));
    response.withContentLength = withContentLength;
    response.extraHeaders = "ETag: \"v1\"\r\n";
    response.honoursRanges = true;
    response.sendLimit = cutAt;
    response.brokenChunks = brokenChunks;
    response.limitedAnswers = 1;
    m_server->setResponse("/b.zip", response);
    PackageDownload::Limits limits;
    limits.sizeCap = sizeCap;
    makeDownload(limits);
    const QString link = m_server->url(QStringLiteral("/b.zip"));
    setCatalogue({ EntryBuilder().name("b").link(link).size(size).make() });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    QTRY_COMPARE_WITH_TIMEOUT(spies.finished.count() + spies.errors.count(), 1, 10000);

    QVERIFY2(spies.firstError().contains(error), qPrintable(spies.firstError()));
    QCOMPARE(m_server->requestLines().count(QStringLiteral("GET /b.zip")), gets);
    QCOMPARE(TestEnvironment::readFile(fileOf(QStringLiteral("/b.zip"))),
        error.isEmpty() ? pattern(1500, 'b') : QByteArray());
}

void TestPackageDownload::downloadGoesThroughProxy_data()
{
    QTest::addColumn<bool>("listening");
    QTest::addColumn<int>("status");
    QTest::newRow("proxy answers") << true << 200;
    QTest::newRow("nothing listens at the proxy") << false << 200;
    QTest::newRow("proxy asks for a login") << true << 407;
}

void TestPackageDownload::downloadGoesThroughProxy()
{
    QFETCH(bool, listening);
    QFETCH(int, status);
    quint16 port = m_server->port();
    if (!listening) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    m_server->setResponse("/p.zip", FakeHttpServer::Response::ok(pattern(500, 'p')));
    FakeHttpServer::Response login = FakeHttpServer::Response::withStatus(407);
    login.extraHeaders = "Proxy-Authenticate: Basic realm=\"proxy\"\r\n";
    if (status == 407)
        m_server->setResponse("/p.zip", login);
    qputenv("http_proxy", "127.0.0.1:" + QByteArray::number(port));
    makeDownload();
    qunsetenv("http_proxy");
    // Only the proxy knows this name: a request that went direct would fail to resolve it.
    const QString link = QStringLiteral("http://packages.orvi.test/p.zip");
    setCatalogue({ entry(QStringLiteral("p"), link) });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    if (status == 407) {
        QVERIFY(spies.errors.wait(10000));
        QCOMPARE(spies.firstError(),
            QStringLiteral("The proxy server 127.0.0.1:%1 asks for a login (407 Proxy "
                           "Authentication Required) before it passes on the download of %2, "
                           "and the updater has none to give. Check the proxy settings "
                           "(http_proxy).")
                .arg(port)
                .arg(link));
        return;
    }
    if (listening) {
        QVERIFY2(spies.finished.wait(10000), qPrintable(spies.firstError()));
        QCOMPARE(m_server->requestLines(),
            QStringList({ QStringLiteral("HEAD ") + link, QStringLiteral("GET ") + link }));
        QCOMPARE(TestEnvironment::readFile(fileOf(QStringLiteral("/p.zip"))), pattern(500, 'p'));
        return;
    }
    QVERIFY(spies.errors.wait(10000));
    QVERIFY2(spies.firstError().startsWith(
                 QStringLiteral("The proxy server 127.0.0.1:%1 refused the download of %2")
                     .arg(port)
                     .arg(link)),
        qPrintable(spies.firstError()));
}

void TestPackageDownload::refusedPackageKeepsNothing()
{
    m_server->setResponse("/first.zip", FakeHttpServer::Response::ok("first"));
    m_server->setResponse("/second.zip", FakeHttpServer::Response::ok("second"));
    m_server->setResponse("/third.zip", FakeHttpServer::Response::ok("third"));
    m_refusals.insert(QStringLiteral("second"), QStringLiteral("The package second was refused."));
    setCatalogue({ entry(QStringLiteral("first"), m_server->url(QStringLiteral("/first.zip"))),
        entry(QStringLiteral("second"), m_server->url(QStringLiteral("/second.zip"))),
        entry(QStringLiteral("third"), m_server->url(QStringLiteral("/third.zip"))) });
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    QVERIFY(spies.errors.wait(10000));

    QCOMPARE(spies.firstError(), QStringLiteral("The package second was refused."));
    QCOMPARE(m_checks.size(), 2);
    QCOMPARE(m_checks.at(0), qMakePair(QStringLiteral("first"), hashOf("first")));
    QCOMPARE(m_checks.at(1), qMakePair(QStringLiteral("second"), hashOf("second")));
    // Neither the refused package nor the one before it is kept, and none follows.
    QVERIFY(
        QDir(m_folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
    QVERIFY(!spies.errors.wait(300));
    QVERIFY(spies.finished.isEmpty());
    QVERIFY(!m_server->requestLines().contains(QStringLiteral("GET /third.zip")));
}

void TestPackageDownload::emptyCatalogueDoesNothing()
{
    DownloadSpies spies(m_download.get());
    m_download->begin(catalogue());
    QVERIFY(!spies.finished.wait(300));
    QVERIFY(spies.errors.isEmpty());
    QVERIFY(spies.files.isEmpty());
    QVERIFY(spies.progress.isEmpty());
    QVERIFY(m_server->requests().isEmpty());
}

QTEST_GUILESS_MAIN(TestPackageDownload)
#include "tst_packagedownload.moc"
