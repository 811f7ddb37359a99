#include "quitrecorder.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

int QuitRecorder::run(const std::function<void()> &work)
{
    QuitRecorder recorder;
    QCoreApplication::instance()->installEventFilter(&recorder);
    QTimer::singleShot(0, QCoreApplication::instance(), [&work]() {
        work();
        QCoreApplication::exit(0);
    });
    QCoreApplication::exec();
    QCoreApplication::instance()->removeEventFilter(&recorder);
    return recorder.m_requests;
}

bool QuitRecorder::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit) {
        ++m_requests;
        return true;
    }
    return QObject::eventFilter(watched, event);
}
