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

bool TestTls::serverSideWorks()
{
#ifdef Q_OS_WIN
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return !(ntdll && ::GetProcAddress(ntdll, "wine_get_version"));
#else
    return true;
#endif
}
