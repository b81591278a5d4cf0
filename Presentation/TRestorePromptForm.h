#pragma once
// Asks the user to accept or reject a restore request; rejects on its own
// when nobody answers within the time-out.

#include <QDialog>

#include <cstdint>
#include <ctime>
#include <functional>

class QTimer;
namespace Ui {
class TRestorePromptForm;
}

class TRestorePromptForm : public QDialog {
    Q_OBJECT

public:
    explicit TRestorePromptForm(QWidget* owner);
    ~TRestorePromptForm() override;

    void InitGUIWithData(uint32_t requestSerial, uint32_t backupSerial, uint32_t backupDate);

    // The answer window (90 s), the clock it is measured with (seconds of a steady clock)
    // and the tick interval (1000 ms); tests shorten and drive them.
    void SetTiming(int timeoutSeconds, std::function<time_t()> clock, int tickMilliseconds);

    // Runs one tick of the count-down at once (what the timer does each second).
    void timerDlgTimeoutTimer();

protected:
    void showEvent(QShowEvent* e) override;

private:
    void FormShow();

    Ui::TRestorePromptForm* ui;
    QTimer* timerDlgTimeout;
    time_t m_startTime = 0;
    bool m_started = false;
    int m_timeoutSeconds = 90;
    std::function<time_t()> m_clock;
};
