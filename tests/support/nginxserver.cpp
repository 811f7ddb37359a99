#include "nginxserver.h"

#include "testenvironment.h"
#include "testtls.h"

#include <QFile>

#include <unistd.h>

namespace {

QString program()
{
    return ServerProcess::findProgram(QStringLiteral("nginx"));
}

} // namespace

bool NginxServer::isInstalled()
{
    return !program().isEmpty();
}

bool NginxServer::start(const QString &root, const QByteArray &serverLines)
{
    if (!m_work.isValid() || !isInstalled())
        return false;
    QByteArray config = R"(daemon off;
worker_processes 1;
%USER%pid %WORK%/nginx.pid;
events { worker_connections 64; }
http {
    log_format requests '$request $status "$http_range" "$http_if_range"';
    access_log %WORK%/access.log requests;
    client_body_temp_path %WORK%/client_body;
    proxy_temp_path %WORK%/proxy;
    fastcgi_temp_path %WORK%/fastcgi;
    uwsgi_temp_path %WORK%/uwsgi;
    scgi_temp_path %WORK%/scgi;
    types { application/zip zip; }
    server {
        listen 127.0.0.1:%PORT%;
        root %ROOT%;
        absolute_redirect off;
%LINES%    }
}
)";
    config.replace("%ROOT%", QFile::encodeName(root)).replace("%LINES%", serverLines);
    return run(config);
}

bool NginxServer::startTlsFront(const QList<quint16> &backends, const QString &certificate)
{
    if (!m_work.isValid() || !isInstalled() || backends.isEmpty())
        return false;
    // The first front listens on %PORT%, which run() picks; the others on ports of their own.
    m_frontPorts = { 0 };
    for (qsizetype i = 1; i < backends.size(); ++i)
        m_frontPorts << ServerProcess::freePort();
    QByteArray servers;
    for (qsizetype i = 0; i < backends.size(); ++i) {
        servers += "    server {\n        listen 127.0.0.1:"
            + (i == 0 ? QByteArray("%PORT%") : QByteArray::number(m_frontPorts.at(i)))
            + " ssl;\n"
              "        limit_conn peers 100;\n"
              "        proxy_pass 127.0.0.1:"
            + QByteArray::number(backends.at(i)) + ";\n    }\n";
    }
    QByteArray config = R"(daemon off;
worker_processes 1;
load_module /usr/lib/nginx/modules/ngx_stream_module.so;
%USER%pid %WORK%/nginx.pid;
events { worker_connections 256; }
stream {
    ssl_certificate %CERT%;
    ssl_certificate_key %KEY%;
    ssl_protocols TLSv1.2 TLSv1.3;
    limit_conn_zone $binary_remote_addr zone=peers:1m;
%SERVERS%}
)";
    config.replace("%CERT%", QFile::encodeName(TestTls::file(certificate)))
        .replace("%KEY%", QFile::encodeName(TestTls::file(certificate, ".key")))
        .replace("%SERVERS%", servers);
    if (!run(config))
        return false;
    m_frontPorts[0] = m_port;
    return true;
}

bool NginxServer::run(const QByteArray &text)
{
    const QString work = m_work.path();
    const QString configFile = work + QStringLiteral("/nginx.conf");
    QByteArray config = text;
    // Started by root, the worker would run as a user who cannot enter the test's private
    // folders.
    config.replace("%USER%", geteuid() == 0 ? "user root;\n" : "")
        .replace("%WORK%", QFile::encodeName(work));
    // The port was free when asked; another program may take it before nginx does.
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = ServerProcess::freePort();
        if (!TestEnvironment::writeFile(
                configFile, QByteArray(config).replace("%PORT%", QByteArray::number(m_port))))
            return false;
        if (m_process.start(program(),
                { QStringLiteral("-e"), work + QStringLiteral("/error.log"), QStringLiteral("-p"),
                    work, QStringLiteral("-c"), configFile },
                m_port))
            return true;
        m_process.stop();
    }
    return false;
}

QString NginxServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port) + path;
}

QByteArray NginxServer::accessLog() const
{
    return TestEnvironment::readFile(m_work.path() + QStringLiteral("/access.log"));
}

QByteArray NginxServer::errorLog() const
{
    return TestEnvironment::readFile(m_work.path() + QStringLiteral("/error.log"));
}
