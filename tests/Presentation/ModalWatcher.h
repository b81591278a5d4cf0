#pragma once
// Drives modal dialogs and message boxes from inside their own event loop:
// each queued action is applied to the next modal widget that appears.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>

class QWidget;

class ModalWatcher : public QObject
{
public:
    ModalWatcher();
    ~ModalWatcher() override;

    // Runs action on the next modal widget (other than ones already handled).
    void Then(std::function<void(QWidget *)> action);
    // Closes the next message box with OK and keeps its caption and text.
    void AcceptMessageBox(QString *caption, QString *text);
    // Actions still waiting for their widget.
    size_t Pending() const { return m_actions.size(); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void Poll();

    QTimer m_timer;
    std::deque<std::function<void(QWidget *)>> m_actions;
    QPointer<QWidget> m_last;
};

// Processes events until pred holds or about timeoutMs passed.
bool WaitFor(const std::function<bool()> &pred, int timeoutMs = 10000);
