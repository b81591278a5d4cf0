#include "ModalWatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QElapsedTimer>
#include <QEvent>
#include <QMessageBox>
#include <QThread>
#include <QWidget>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

ModalWatcher* s_active = nullptr;

// How often a window has been shown as a modal one; kept on the window itself so that
// a handler can tell whether the showing it was meant for is still the current one.
const char* const kShowCount = "modalWatcherShowCount";

int ShowCount(QWidget* window)
{
    return window->property(kShowCount).toInt();
}

qint64 Now()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

} // namespace

ModalWatcher::ModalWatcher(int closeAfterMs) : m_closeAfterMs(closeAfterMs), m_outer(s_active)
{
    s_active = this;
    qApp->installEventFilter(this);
    m_watchdog.setInterval(100);
    connect(&m_watchdog, &QTimer::timeout, this, [this] { CheckDeadlines(); });
    m_watchdog.start();
}

ModalWatcher::~ModalWatcher()
{
    qApp->removeEventFilter(this);
    if (s_active == this)
        s_active = m_outer;
}

void ModalWatcher::Then(Handler handler)
{
    m_handlers.push_back(std::move(handler));
}

void ModalWatcher::AcceptMessageBox(QString* caption, QString* text)
{
    Then([caption, text](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box) {
            ADD_FAILURE() << "expected a message box, got " << Describe(w).toStdString();
            Dismiss(w);
            return;
        }
        if (caption)
            *caption = box->windowTitle();
        if (text)
            *text = box->text();
        if (QAbstractButton* ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();
    });
}

void ModalWatcher::ExpectBox()
{
    Then([this](QWidget* w) {
        BoxSeen seen;
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            seen.title = box->windowTitle();
            seen.text = box->text();
            seen.icon = box->icon();
            seen.buttons = static_cast<int>(box->standardButtons());
        } else {
            seen.title = "not a message box: " + Describe(w);
        }
        boxes.push_back(seen);
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box && box->button(QMessageBox::Ok))
            box->button(QMessageBox::Ok)->click();
        else
            Dismiss(w);
    });
}

bool ModalWatcher::eventFilter(QObject* watched, QEvent* event)
{
    // Show is sent for every exec() and show(), before the dialog's own loop starts. The
    // window system's own (spontaneous) show and hide events, and a Show while the window is
    // open (brought back from the task bar), are no new showing.
    const QEvent::Type type = event->type();
    if ((type == QEvent::Show || type == QEvent::Hide) && !event->spontaneous() && watched->isWidgetType()) {
        auto* window = static_cast<QWidget*>(watched);
        auto entry = std::find_if(m_open.begin(), m_open.end(),
                                  [window](const Open& o) { return o.window == window; });
        if (type == QEvent::Hide) {
            if (entry != m_open.end())
                m_open.erase(entry);
        } else if (entry == m_open.end() && s_active == this && window->isWindow() &&
                   window->windowModality() != Qt::NonModal) {
            OnModalShown(window);
        }
    }
    return QObject::eventFilter(watched, event);
}

void ModalWatcher::OnModalShown(QWidget* window)
{
    ++m_shown;
    const int generation = ShowCount(window) + 1;
    window->setProperty(kShowCount, generation);
    m_open.push_back({window, generation, Now() + m_closeAfterMs});

    if (m_handlers.empty()) {
        unexpected.push_back(Describe(window));
        if (!m_tolerateUnexpected)
            ADD_FAILURE() << "a modal window opened that the test did not expect: "
                          << Describe(window).toStdString() << "; the test driver rejected it";
        QPointer<QWidget> target(window);
        QMetaObject::invokeMethod(
            this,
            [target] {
                if (target)
                    Dismiss(target);
            },
            Qt::QueuedConnection);
        return;
    }

    // The handler runs from the dialog's own event loop, which exec() enters right after
    // this Show event: it may click buttons directly, even ones that open further boxes.
    Handler handler = std::move(m_handlers.front());
    m_handlers.pop_front();
    QPointer<QWidget> target(window);
    QMetaObject::invokeMethod(
        this,
        [handler = std::move(handler), target, generation] {
            if (!target || !target->isVisible() || ShowCount(target) != generation) {
                ADD_FAILURE() << "a modal window closed before the test's handler could run on it";
                return;
            }
            handler(target);
        },
        Qt::QueuedConnection);
}

void ModalWatcher::CheckDeadlines()
{
    const qint64 now = Now();
    for (Open& open : m_open) {
        QWidget* window = open.window;
        if (!window || open.dismissed || now < open.deadline || ShowCount(window) != open.generation)
            continue;
        ADD_FAILURE() << "modal window " << Describe(window).toStdString() << " was still open "
                      << m_closeAfterMs / 1000 << " s after it was shown: its handler did not close it; "
                      << "the test driver closed it";
        open.dismissed = true;
        QPointer<QWidget> target(window);
        QMetaObject::invokeMethod(
            this,
            [target] {
                if (target)
                    Dismiss(target);
            },
            Qt::QueuedConnection);
    }
    m_open.erase(std::remove_if(m_open.begin(), m_open.end(), [](const Open& o) { return !o.window; }),
                 m_open.end());
}

void ModalWatcher::Dismiss(QWidget* window)
{
    if (auto* dialog = qobject_cast<QDialog*>(window))
        dialog->reject();
    else
        window->close();
}

QString ModalWatcher::Describe(QWidget* window)
{
    return QString::fromLatin1(window->metaObject()->className()) + " \"" + window->windowTitle() + "\"";
}

void ClickLater(QAbstractButton* button)
{
    QMetaObject::invokeMethod(button, &QAbstractButton::click, Qt::QueuedConnection);
}

bool WaitFor(const std::function<bool()>& pred, const char* what, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired()) {
            ADD_FAILURE() << "gave up after " << timeoutMs / 1000.0 << " s waiting for: " << what;
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}
