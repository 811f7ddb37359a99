#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

/*
 * A main application's folder as the updater finds it: a folder holding orvi7.exe, named to
 * the updater by "-root".
 *
 *     m_root = environment.root() + QStringLiteral("/app");
 *     QVERIFY(ApplicationFolder::make(m_root));
 *     ApplicationArguments::set(ApplicationFolder::updateArguments(m_root));
 */
class ApplicationFolder
{
public:
    /// Creates folder with an orvi7.exe holding contents; false when that cannot be written.
    static bool make(const QString &folder, const QByteArray &contents = "main");
    /// Creates folder with a copy of the sample main application as orvi7.exe; false when the
    /// copy fails.
    static bool makeWithSample(const QString &folder);
    /// Writes program as the scripted stand-in for a main application, with script beside it
    /// (see support/programs/scriptedmainapp.cpp); false when either cannot be written.
    static bool makeScripted(const QString &program, const QByteArray &script);
    /// The path of the main application in folder.
    static QString mainProgram(const QString &folder);
    /// The updater's arguments for a run over folder: a program path, switches, "-root" and
    /// folder.
    static QStringList updateArguments(
        const QString &folder, const QStringList &switches = { QStringLiteral("-u") });
};
