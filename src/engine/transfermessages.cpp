#include "transfermessages.h"

#include <QCoreApplication>

QString TransferMessages::cancelled()
{
    return QCoreApplication::translate("translation", "The download was cancelled.", "nc");
}

QString TransferMessages::stalled(const QUrl &url)
{
    return QCoreApplication::translate(
        "translation", "The server %1 stopped answering, so the download was given up.", "nc")
        .arg(url.host());
}

QString TransferMessages::tooSlow(const QUrl &url)
{
    return QCoreApplication::translate(
        "translation", "The server %1 sent %2 too slowly, so the download was given up.", "nc")
        .arg(url.authority(), url.toDisplayString());
}

QString TransferMessages::status(int status, const QString &reason, const QUrl &url)
{
    return QCoreApplication::translate("translation", "The server answered %1 %2 for %3.", "nc")
        .arg(status)
        .arg(reason, url.toDisplayString());
}

QString TransferMessages::wrongPart(const QUrl &url)
{
    return QCoreApplication::translate(
        "translation", "The server sent a part of %1 other than the one asked for.", "nc")
        .arg(url.toDisplayString());
}

QString TransferMessages::changedFile(const QUrl &url)
{
    return QCoreApplication::translate(
        "translation", "The server sent the rest of %1 from another version of the file.", "nc")
        .arg(url.toDisplayString());
}

QString TransferMessages::tooLarge(const QUrl &url, qint64 limit)
{
    return QCoreApplication::translate("translation",
        "The server sent more of %1 than the %2 bytes it may have, so the download was given "
        "up.",
        "nc")
        .arg(url.toDisplayString())
        .arg(limit);
}

QString TransferMessages::closedEarly(const QUrl &url)
{
    return QCoreApplication::translate(
        "translation", "The connection was closed before all of %1 arrived.", "nc")
        .arg(url.toDisplayString());
}

QString TransferMessages::notWritten(const QString &deviceError)
{
    return QCoreApplication::translate(
        "translation", "The downloaded file could not be written: %1", "nc")
        .arg(deviceError);
}

QString TransferMessages::insecureRedirect(const QUrl &url)
{
    return QCoreApplication::translate("translation",
        "The server sent the download of %1 from a secure address to an insecure one, "
        "which is refused.",
        "nc")
        .arg(url.toDisplayString());
}

QString TransferMessages::tooManyRedirects(const QUrl &url)
{
    return QCoreApplication::translate(
        "translation", "The server redirected the download of %1 too many times.", "nc")
        .arg(url.toDisplayString());
}

QString TransferMessages::noValidAnswer(const QUrl &url)
{
    return QCoreApplication::translate(
        "translation", "The server sent no valid answer for %1.", "nc")
        .arg(url.toDisplayString());
}

QString TransferMessages::proxyRefused(
    const QString &proxy, const QUrl &url, const QString &networkError)
{
    return QCoreApplication::translate(
        "translation", "The proxy server %1 refused the download of %2: %3", "nc")
        .arg(proxy, url.toDisplayString(), networkError);
}

QString TransferMessages::proxyLogin(const QString &proxy, const QUrl &url)
{
    // The proxy comes from the environment variable of the link's scheme.
    const QString variable = url.scheme() == QLatin1String("https") ? QStringLiteral("https_proxy")
                                                                    : QStringLiteral("http_proxy");
    return QCoreApplication::translate("translation",
        "The proxy server %1 asks for a login (407 Proxy Authentication Required) before it "
        "passes on the download of %2, and the updater has none to give. Check the proxy "
        "settings (%3).",
        "nc")
        .arg(proxy, url.toDisplayString(), variable);
}

QString TransferMessages::transport(const QUrl &url, const QString &networkError)
{
    // Qt's own text ("Connection refused") names neither the server nor the package.
    const QString package = url.fileName().isEmpty() ? url.path() : url.fileName();
    return QCoreApplication::translate(
        "translation", "The download of %1 from the server %2 failed: %3", "nc")
        .arg(package, url.authority(), networkError);
}
