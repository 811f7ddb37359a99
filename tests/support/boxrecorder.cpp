#include "boxrecorder.h"

BoxRecorder::BoxRecorder()
{
    MessageBoxHandler::setAnswerer(
        [this](const MessageBoxHandler::Box &box) { return answer(box); });
}

BoxRecorder::~BoxRecorder()
{
    MessageBoxHandler::setAnswerer(nullptr);
}

QStringList BoxRecorder::texts() const
{
    QStringList result;
    for (const MessageBoxHandler::Box &box : m_boxes)
        result << box.text;
    return result;
}

QMessageBox::StandardButton BoxRecorder::answer(const MessageBoxHandler::Box &box)
{
    m_boxes << box;
    if (m_hook)
        m_hook(box);
    if (!m_queue.isEmpty())
        return m_queue.takeFirst();
    return m_answer ? m_answer(box) : MessageBoxHandler::defaultAnswer(box);
}
