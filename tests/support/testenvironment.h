#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QTemporaryDir>

#include <memory>

/*
 * Keeps a test's files out of the real temporary and home folders: the temporary folder, the
 * cache home (and so the download folder), the data home and the state home (on Windows the
 * temporary and application-data folders) point into one QTemporaryDir for the lifetime of the
 * object, and the updater trusts the test authority (tests/keys/tls/ca.pem) in place of the
 * system's, in this process and, through ORVI_TEST_SERVER_CA, in the test updater it starts.
 */
class TestEnvironment
{
public:
    TestEnvironment();
    ~TestEnvironment();

    bool isValid() const { return m_root.isValid(); }
    /// The folder that holds everything of this environment.
    QString root() const { return m_root.path(); }
    /// The scratch folder the program under test sees (the download folder's parent).
    QString tempFolder() const;
    /// The cache home (XDG_CACHE_HOME) the program under test sees; child processes need it.
    QString cacheHome() const;

    /// Prepares the scratch and download folders as start-up does and has every file operation
    /// in them start from the folders opened there, until the environment ends; false when
    /// they were refused.
    bool confineDownloadFolder();

    /// Writes contents to root-relative or absolute path, creating folders; false on failure.
    static bool writeFile(const QString &path, const QByteArray &contents);
    /// Reads a whole file; an empty array when it cannot be read.
    static QByteArray readFile(const QString &path);

private:
    QTemporaryDir m_root;
    QMap<QByteArray, QByteArray> m_oldValues;
    bool m_confined = false;
};
