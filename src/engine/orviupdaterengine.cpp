#include "orviupdaterengine.h"

#include "platform.h"
#include "updateentry.h"

#include <QDir>

OrviUpdaterEngine::OrviUpdaterEngine()
    : m_downloadFolder(Platform::downloadFolder())
{
    QDir().mkpath(m_downloadFolder);
    connect(&m_http, &HttpRequestQueue::requestFinished, this, &OrviUpdaterEngine::requestFinished);
    connect(&m_http, &HttpRequestQueue::dataReadProgress, this,
            &OrviUpdaterEngine::dataReadProgress);
    connect(&m_http, &HttpRequestQueue::responseHeaderReceived, this,
            &OrviUpdaterEngine::responseHeaderReceived);
}

OrviUpdaterEngine::~OrviUpdaterEngine()
{
    clearUpdates();
}

bool OrviUpdaterEngine::checkUpdates()
{
    return false;
}

bool OrviUpdaterEngine::hasUpdates() const
{
    return m_updates.count() > 0;
}

void OrviUpdaterEngine::adoptUpdates(const QVector<UpdateEntry *> &entries)
{
    clearUpdates();
    m_updates = entries;
}

void OrviUpdaterEngine::clearUpdates()
{
    for (UpdateEntry *entry : std::as_const(m_updates))
        delete entry;
    m_updates.clear();
}

void OrviUpdaterEngine::beginDownload() { }

void OrviUpdaterEngine::abortDownload() { }

void OrviUpdaterEngine::installUpdates() { }

void OrviUpdaterEngine::requestFinished(int, bool) { }

void OrviUpdaterEngine::dataReadProgress(qint64, qint64) { }

void OrviUpdaterEngine::responseHeaderReceived(const HttpResponseHeader &) { }
