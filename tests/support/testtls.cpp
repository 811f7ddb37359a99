#include "testtls.h"

#include "testenvironment.h"

QString TestTls::file(const QString &name, const char *suffix)
{
    return QStringLiteral(ORVI_TEST_KEYS_DIR "/tls/") + name + QLatin1String(suffix);
}

QList<QSslCertificate> TestTls::certificates(const QString &name)
{
    return QSslCertificate::fromData(TestEnvironment::readFile(file(name)), QSsl::Pem);
}

QSslKey TestTls::key(const QString &name)
{
    return QSslKey(TestEnvironment::readFile(file(name, ".key")), QSsl::Rsa, QSsl::Pem);
}
