#include "ModalWatcher.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QThread>
#include <QWidget>

ModalWatcher::ModalWatcher()
{
    m_timer.setInterval(5);
    connect(&m_timer, &QTimer::timeout, this, &ModalWatcher::Poll);
    m_timer.start();
}

ModalWatcher::~ModalWatcher() = default;

void ModalWatcher::Then(std::function<void(QWidget *)> action)
{
    m_actions.push_back(std::move(action));
}

void ModalWatcher::AcceptMessageBox(QString *caption, QString *text)
{
    Then([caption, text](QWidget *w) {
        auto *box = qobject_cast<QMessageBox *>(w);
        if (!box)
            return;
        if (caption)
            *caption = box->windowTitle();
        if (text)
            *text = box->text();
        box->accept();
    });
}

void ModalWatcher::Poll()
{
    if (m_actions.empty())
        return;
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || modal == m_last || !modal->isVisible())
        return;
    m_last = modal;
    // A handled dialog may be shown again later (the same instance reused).
    modal->installEventFilter(this);
    auto action = std::move(m_actions.front());
    m_actions.pop_front();
    // Run it outside this timer's slot: an action that opens a further modal
    // box must leave the watcher free to handle that one too.
    QPointer<QWidget> target(modal);
    QTimer::singleShot(0, this, [action = std::move(action), target] {
        if (target)
            action(target);
    });
}

bool WaitFor(const std::function<bool()> &pred, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

bool ModalWatcher::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Hide && watched == m_last) {
        watched->removeEventFilter(this);
        m_last = nullptr;
    }
    return QObject::eventFilter(watched, event);
}
