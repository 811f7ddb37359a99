#pragma once

#include "messageboxhandler.h"

#include <QList>
#include <QMessageBox>
#include <QStringList>

#include <functional>

/*
 * Stands in for the program's message boxes while it lives: every box is recorded and
 * answered without a window, by the queued answers first, then by the answer function, else
 * as a user pressing Enter would. The real boxes come back when it is destroyed.
 *
 *     BoxRecorder boxes;
 *     boxes.answerNext({ QMessageBox::Abort });
 *     ...
 *     QCOMPARE(boxes.texts(), QStringList { expectedText });
 */
class BoxRecorder
{
public:
    using Answer = std::function<QMessageBox::StandardButton(const MessageBoxHandler::Box &)>;
    using Hook = std::function<void(const MessageBoxHandler::Box &)>;

    BoxRecorder();
    ~BoxRecorder();
    BoxRecorder(const BoxRecorder &) = delete;
    BoxRecorder &operator=(const BoxRecorder &) = delete;

    /// Every box shown so far, in order.
    const QList<MessageBoxHandler::Box> &boxes() const { return m_boxes; }
    /// The texts of those boxes, in order.
    QStringList texts() const;
    /// Forgets the boxes recorded so far and the answers still queued; the answer function
    /// and the hook stay.
    void clear()
    {
        m_boxes.clear();
        m_queue.clear();
    }

    /// Answers the boxes that the queue does not with answer; an empty function restores the
    /// default answer.
    void setAnswer(Answer answer) { m_answer = std::move(answer); }
    /// Answers the next boxes with these buttons, one each, before any other answer.
    void answerNext(const QList<QMessageBox::StandardButton> &buttons) { m_queue << buttons; }
    /// Calls hook at each box after recording it and before answering it (to look at the
    /// screen while the box is up, say); an empty function calls nothing.
    void setHook(Hook hook) { m_hook = std::move(hook); }

private:
    QMessageBox::StandardButton answer(const MessageBoxHandler::Box &box);

    QList<MessageBoxHandler::Box> m_boxes;
    QList<QMessageBox::StandardButton> m_queue;
    Answer m_answer;
    Hook m_hook;
};
