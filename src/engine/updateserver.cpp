#include "updateserver.h"

namespace {
constexpr quint16 DefaultPort = 443;
}

UpdateServer UpdateServer::fromEnvironment()
{
    const QString value = qEnvironmentVariable("ORVI_UPDATE_SERVER");
    if (!value.isEmpty())
        return parse(value);
    return UpdateServer(QStringLiteral(ORVI_UPDATE_SERVER_HOST), DefaultPort);
}

UpdateServer UpdateServer::parse(const QString &value)
{
    const int colon = value.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return UpdateServer(value, DefaultPort);
    QString host = value.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint port = value.mid(colon + 1).toUInt(&ok);
    if (!ok || port == 0 || port > 65535)
        return UpdateServer(host, DefaultPort);
    return UpdateServer(host, static_cast<quint16>(port));
}
