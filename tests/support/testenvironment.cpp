#include "testenvironment.h"

#include "folder.h"
#include "platform.h"
#include "servertrust.h"
#include "testtls.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <memory>

namespace {
// Where the program under test finds its folders: Windows takes the temporary folder from TMP
// and TEMP and keeps its state in APPDATA; elsewhere the XDG homes do it.
#ifdef Q_OS_WIN
const char *const variables[] = { "TMP", "TEMP", "APPDATA" };
#else
const char *const variables[] = { "TMPDIR", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME" };
#endif
} // namespace

TestEnvironment::TestEnvironment()
{
    for (const char *variable : variables)
        m_oldValues.insert(QByteArray(variable), qgetenv(variable));
    // The test authority in place of the system's, in this process and in the test updater
    // it starts (crash/crashableupdater.cpp).
    ServerTrust::setTestAuthorities(TestTls::certificates(QStringLiteral("ca")));
    m_oldValues.insert("ORVI_TEST_SERVER_CA", qgetenv("ORVI_TEST_SERVER_CA"));
    qputenv("ORVI_TEST_SERVER_CA", QFile::encodeName(TestTls::file(QStringLiteral("ca"))));
    for (const char *folder : { "tmp", "data", "cache" })
        QDir(m_root.path()).mkpath(QLatin1String(folder));
#ifdef Q_OS_WIN
    qputenv("TMP", QFile::encodeName(tempFolder()));
    qputenv("TEMP", QFile::encodeName(tempFolder()));
    qputenv("APPDATA", QFile::encodeName(m_root.path() + QStringLiteral("/data")));
#else
    qputenv("TMPDIR", QFile::encodeName(m_root.path() + QStringLiteral("/tmp")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cacheHome()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_root.path() + QStringLiteral("/data")));
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_root.path() + QStringLiteral("/state")));
#endif
}

TestEnvironment::~TestEnvironment()
{
    if (m_confined) {
        Folder::confine(nullptr, Platform::downloadFolder());
        Folder::confine(nullptr, Platform::tempFolder());
    }
    ServerTrust::setTestAuthorities({});
    for (auto old = m_oldValues.cbegin(); old != m_oldValues.cend(); ++old) {
        if (old.value().isEmpty())
            qunsetenv(old.key().constData());
        else
            qputenv(old.key().constData(), old.value());
    }
}

bool TestEnvironment::confineDownloadFolder()
{
    auto download = std::make_shared<Folder>();
    auto scratch = std::make_shared<Folder>();
    if (!Platform::prepareDownloadFolder(download.get(), scratch.get()).isEmpty())
        return false;
    Folder::confine(scratch, Platform::tempFolder());
    Folder::confine(download, Platform::downloadFolder());
    m_confined = true;
    return true;
}

QString TestEnvironment::tempFolder() const
{
#ifdef Q_OS_WIN
    return m_root.path() + QStringLiteral("/tmp");
#else
    return cacheHome() + QStringLiteral("/orvi-updater");
#endif
}

QString TestEnvironment::cacheHome() const
{
    return m_root.path() + QStringLiteral("/cache");
}

bool TestEnvironment::writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(contents) == contents.size();
}

QByteArray TestEnvironment::readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}
