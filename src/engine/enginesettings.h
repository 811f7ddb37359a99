#pragma once

#include "folder.h"
#include "packagedownload.h"
#include "packagesignature.h"
#include "runlock.h"
#include "servertrust.h"
#include "updatequery.h"
#include "updateserver.h"

#include <QList>
#include <QString>

#include <memory>
#include <optional>

/*
 * What one update run is told from outside: the main application's folder from the command
 * line, and the endpoints, limits and keys, each the built-in value unless a test shortens or
 * replaces it.
 */
struct EngineSettings
{
    /// The main application's folder ("-root"); none when the command line names none.
    std::optional<QString> appRoot;
    /// The download folder as start-up opened and checked it; none in tests that give none,
    /// and then the download opens the folder itself.
    std::shared_ptr<const Folder> downloadFolder;
    /// The endpoint of the update query; built in, or from ORVI_UPDATE_SERVER.
    UpdateServer updateServer = UpdateServer::fromEnvironment();
    /// Whom the update server's certificate must come from; built in.
    ServerTrust serverTrust = ServerTrust::builtIn();
    /// Each of the update query's network waits, in milliseconds.
    int networkTimeout = UpdateQuery::NetworkTimeout;
    /// The whole exchange with the update server, in milliseconds.
    int queryTimeout = UpdateQuery::QueryTimeout;
    /// The wait for the main application's inventory, in milliseconds.
    int mainAppTimeout = UpdateQuery::MainAppTimeout;
    /// How long a download may receive nothing, how slow it may be over which window, and
    /// how large a package of unknown size may grow.
    PackageDownload::Limits downloadLimits;
    /// The keys a package's signature must be made with.
    QList<PackageSignature::PublicKey> signingKeys = PackageSignature::builtInKeys();
    /// Whether a package without a signature may be installed.
    bool unsignedAllowed = PackageSignature::unsignedPackagesAllowed();
    /// How long a start waits for the update runs before it, in milliseconds.
    int lockTimeout = RunLock::DefaultTimeout;
};
