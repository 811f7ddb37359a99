#include "testtls.h"

#include "testenvironment.h"
#include "testsigning.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

QString TestTls::file(const QString &name, const char *suffix)
{
    return TestSigning::keysFolder() + QStringLiteral("/tls/") + name + QLatin1String(suffix);
}

QList<QSslCertificate> TestTls::certificates(const QString &name)
{
    return QSslCertificate::fromData(TestEnvironment::readFile(file(name)), QSsl::Pem);
}

QSslKey TestTls::key(const QString &name)
{
    return QSslKey(TestEnvironment::readFile(file(name, ".key")), QSsl::Rsa, QSsl::Pem);
}

bool TestTls::underWine()
{
#ifdef Q_OS_WIN
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

QList<TestTls::Front> TestTls::fronts()
{
    QList<Front> result;
    // "BACKEND NAME=PORT NAME=PORT ...;BACKEND ...", as cmake/wine-run.sh.in writes it.
    const QString plan = qEnvironmentVariable("ORVI_TEST_TLS_FRONT");
    for (const QString &slot : plan.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QStringList words = slot.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        Front front;
        front.backend = words.value(0).toUShort();
        for (const QString &word : words.mid(1))
            front.ports.insert(
                word.section(QLatin1Char('='), 0, 0), word.section(QLatin1Char('='), 1).toUShort());
        if (front.backend != 0)
            result << front;
    }
    return result;
}
