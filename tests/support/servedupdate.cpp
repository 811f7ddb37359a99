#include "servedupdate.h"

#include "testenvironment.h"
#include "testpackage.h"
#include "testsigning.h"
#include "trustedcomment.h"

ServedUpdate::ServedUpdate(const QString &staging) : m_staging(staging)
{
    m_httpServer.listen();
    withdraw();
}

bool ServedUpdate::add(
    const char *name, const TestPackage &package, const char *type, const TestPackage *delta)
{
    const QString file = QLatin1String(name) + QStringLiteral(".zip");
    const QString path = m_staging + QLatin1Char('/') + file;
    if (!package.write(path))
        return false;
    const QByteArray signature = TestSigning::sign(
        path, TrustedComment { "orvi", name, type, "2", file.toUtf8() }.toText());
    if (signature.isEmpty())
        return false;
    m_httpServer.setResponse(
        '/' + file.toUtf8(), FakeHttpServer::Response::ok(TestEnvironment::readFile(path)));
    m_requests += QByteArrayLiteral("<request project=\"orvi\" name=\"") + name
        + QByteArrayLiteral("\" type=\"") + type
        + QByteArrayLiteral("\"><version>2</version><link>")
        + m_httpServer.url(QLatin1Char('/') + file).toUtf8()
        + QByteArrayLiteral("</link><signature>") + signature + QByteArrayLiteral("</signature>");
    if (delta) {
        const QString deltaFile = QLatin1String(name) + QStringLiteral("-from-1.zip");
        const QString deltaPath = m_staging + QLatin1Char('/') + deltaFile;
        const QByteArray deltaSignature = delta->write(deltaPath)
            ? TestSigning::sign(deltaPath,
                TrustedComment { "orvi", name, type, "2", deltaFile.toUtf8(), "1" }.toText())
            : QByteArray();
        if (deltaSignature.isEmpty())
            return false;
        m_httpServer.setResponse('/' + deltaFile.toUtf8(),
            FakeHttpServer::Response::ok(TestEnvironment::readFile(deltaPath)));
        m_requests += QByteArrayLiteral("<deltaBase>1</deltaBase><deltaLink>")
            + m_httpServer.url(QLatin1Char('/') + deltaFile).toUtf8()
            + QByteArrayLiteral("</deltaLink><deltaSignature>") + deltaSignature
            + QByteArrayLiteral("</deltaSignature>");
    }
    m_requests += QByteArrayLiteral("</request>");
    m_updateServer.answer(
        QByteArrayLiteral("<updates>") + m_requests + QByteArrayLiteral("</updates>"));
    return true;
}

void ServedUpdate::withdraw()
{
    m_requests.clear();
    m_updateServer.answer(FakeUpdateServer::NoUpdates);
}

QProcessEnvironment ServedUpdate::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("ORVI_UPDATE_SERVER"),
        QStringLiteral("127.0.0.1:%1").arg(m_updateServer.port()));
    return environment;
}
