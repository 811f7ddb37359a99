#include "testtls.h"

#include "testenvironment.h"
#include "testsigning.h"

#include <QCryptographicHash>

#ifdef Q_OS_WIN
#include <windows.h>

#include <wincrypt.h>
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

#ifdef Q_OS_WIN
namespace {
// The current user's Root store, or null.
HCERTSTORE openRootStore()
{
    return ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
}
} // namespace
#endif

bool TestTls::addWineRoot(const QString &name)
{
#ifdef Q_OS_WIN
    const QByteArray der = certificates(name).value(0).toDer();
    HCERTSTORE store = underWine() && !der.isEmpty() ? openRootStore() : nullptr;
    if (!store)
        return false;
    const bool added = ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
        reinterpret_cast<const BYTE *>(der.constData()), DWORD(der.size()),
        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    ::CertCloseStore(store, 0);
    return added;
#else
    Q_UNUSED(name);
    return false;
#endif
}

void TestTls::removeWineRoot(const QString &name)
{
#ifdef Q_OS_WIN
    // Wine's store leaves a deleted certificate in the registry, where every later process of
    // the prefix finds it again: its key goes instead, named by the SHA-1 hash as the store
    // names it.
    const QList<QSslCertificate> found = certificates(name);
    if (!underWine() || found.isEmpty())
        return;
    const QString key
        = QStringLiteral("Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\")
        + QString::fromLatin1(
            found.constFirst().digest(QCryptographicHash::Sha1).toHex().toUpper());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, reinterpret_cast<LPCWSTR>(key.utf16()));
#else
    Q_UNUSED(name);
#endif
}
