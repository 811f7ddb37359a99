#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

TestEnvironment::TestEnvironment()
    : m_oldTmpDir(qgetenv("TMPDIR"))
    , m_oldDataHome(qgetenv("XDG_DATA_HOME"))
    , m_oldCacheHome(qgetenv("XDG_CACHE_HOME"))
    , m_oldStateHome(qgetenv("XDG_STATE_HOME"))
{
    QDir(m_root.path()).mkpath(QStringLiteral("tmp"));
    QDir(m_root.path()).mkpath(QStringLiteral("data"));
    QDir(m_root.path()).mkpath(QStringLiteral("cache"));
    qputenv("TMPDIR", QFile::encodeName(m_root.path() + QStringLiteral("/tmp")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cacheHome()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_root.path() + QStringLiteral("/data")));
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_root.path() + QStringLiteral("/state")));
}

TestEnvironment::~TestEnvironment()
{
    if (m_oldTmpDir.isEmpty())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", m_oldTmpDir);
    if (m_oldDataHome.isEmpty())
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", m_oldDataHome);
    if (m_oldCacheHome.isEmpty())
        qunsetenv("XDG_CACHE_HOME");
    else
        qputenv("XDG_CACHE_HOME", m_oldCacheHome);
    if (m_oldStateHome.isEmpty())
        qunsetenv("XDG_STATE_HOME");
    else
        qputenv("XDG_STATE_HOME", m_oldStateHome);
}

QString TestEnvironment::tempFolder() const
{
    return cacheHome() + QStringLiteral("/orvi-updater");
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
