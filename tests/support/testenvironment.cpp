#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

TestEnvironment::TestEnvironment()
    : m_oldTmpDir(qgetenv("TMPDIR")), m_oldDataHome(qgetenv("XDG_DATA_HOME"))
{
    QDir(m_root.path()).mkpath(QStringLiteral("tmp"));
    QDir(m_root.path()).mkpath(QStringLiteral("data"));
    qputenv("TMPDIR", QFile::encodeName(tempFolder()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_root.path() + QStringLiteral("/data")));
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
}

QString TestEnvironment::tempFolder() const
{
    return m_root.path() + QStringLiteral("/tmp");
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
