#pragma once
// Drives modal dialogs and message boxes from inside their own event loop.
//
// Every time a modal window is shown (each exec(), also of a dialog object that was shown
// before) the watcher sees its Show event and hands the window to the next queued handler,
// which runs from the dialog's own event loop and must close it. The watcher never samples
// which window is modal at some moment, so a dialog that closes and opens again at once is
// seen twice.
//
// Nothing a dialog test drives can hang:
// - a modal window with no handler waiting is a test failure and is rejected at once;
// - a modal window still open some seconds after its handler ran (the handler failed or did
//   not close it) is a test failure and is closed by the watcher;
// - WaitFor gives up after its time-out with a failure that names what it waited for.
//
// Only the most recently created watcher that is still alive acts.

#include "QtTestPrinters.h"

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <string>
#include <vector>

class QWidget;

// What a message box showed when the watcher closed it with OK.
struct BoxSeen {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int buttons = 0;
};

class ModalWatcher : public QObject {
public:
    using Handler = std::function<void(QWidget*)>;

    // A driven dialog still open closeAfterMs after it was shown is closed as a failure.
    explicit ModalWatcher(int closeAfterMs = 20000);
    ~ModalWatcher() override;

    // Runs handler on the next modal window shown.
    void Then(Handler handler);
    // Closes the next message box with OK and keeps its caption and text.
    void AcceptMessageBox(QString* caption, QString* text);
    // Closes the next message box with OK and appends what it showed to boxes.
    void ExpectBox();
    // A modal window with no handler waiting is then only recorded and rejected, not a
    // failure: for code that may or may not raise a box while it shuts down.
    void TolerateUnexpected() { m_tolerateUnexpected = true; }

    // Handlers still waiting for their window.
    size_t Pending() const { return m_handlers.size(); }
    bool AllHandled() const { return m_handlers.empty(); }
    // Modal windows shown while this watcher was active.
    int Shown() const { return m_shown; }

    std::vector<BoxSeen> boxes;
    // "ClassName: title" of each modal window that came with no handler waiting.
    std::vector<QString> unexpected;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Open {
        QPointer<QWidget> window;
        int generation = 0; // the window's show count when this entry was made
        qint64 deadline = 0;
        bool dismissed = false; // closed by the watchdog
    };

    void OnModalShown(QWidget* window);
    void CheckDeadlines();
    static void Dismiss(QWidget* window);
    static QString Describe(QWidget* window);

    std::deque<Handler> m_handlers;
    // Modal windows shown and not hidden since.
    std::vector<Open> m_open;
    QTimer m_watchdog;
    int m_closeAfterMs;
    int m_shown = 0;
    bool m_tolerateUnexpected = false;
    ModalWatcher* m_outer = nullptr;
};

// Clicks a button once the current handler returned.
void ClickLater(class QAbstractButton* button);

// Processes events until pred holds. Gives up after timeoutMs with a test failure that
// names `what`, and then answers false.
bool WaitFor(const std::function<bool()>& pred, const char* what, int timeoutMs = 20000);
