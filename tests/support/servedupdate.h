#pragma once

#include "fakehttpserver.h"
#include "fakeupdateserver.h"

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>

class TestPackage;

/*
 * An update on offer to an updater process of its own: an update server that offers signed
 * "app" packages of orvi and an HTTP server that serves them, both on loopback in the test's
 * process (they answer while the test waits for the updater with its event loop running).
 *
 *     ServedUpdate update(environment.root() + "/staging");
 *     QVERIFY(update.add("core", package));
 *     updater.setProcessEnvironment(update.environment());
 */
class ServedUpdate
{
public:
    /// Serves from staging, a folder the packages are written to and signed in.
    explicit ServedUpdate(const QString &staging);

    /// True when both servers listen.
    bool isValid() const { return m_updateServer.port() != 0 && m_httpServer.port() != 0; }
    /// Writes, signs and offers package as version 2 of the update name of type ("app" or
    /// "plugin"), with delta, when given, as its delta from version 1; false on failure.
    bool add(const char *name, const TestPackage &package, const char *type = "app",
        const TestPackage *delta = nullptr);
    /// Offers nothing from now on.
    void withdraw();
    /// The system's environment with the update server set for the updater.
    QProcessEnvironment environment() const;
    /// The HTTP requests for packages, "HEAD /core.zip" and so on.
    QStringList packageRequests() const { return m_httpServer.requestLines(); }

private:
    QString m_staging;
    QByteArray m_requests;
    FakeUpdateServer m_updateServer;
    FakeHttpServer m_httpServer;
};
