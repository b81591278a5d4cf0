#include "TRestorePromptForm.h"
#include "ui_TRestorePromptForm.h"

#include "CTimeUtil.h"

#include <QTimer>

#include <chrono>
#include <cstdio>
#include <string>

TRestorePromptForm::TRestorePromptForm(QWidget* owner)
    : QDialog(owner), ui(new Ui::TRestorePromptForm), timerDlgTimeout(new QTimer(this))
{
    ui->setupUi(this);
    timerDlgTimeout->setObjectName(QStringLiteral("timerDlgTimeout"));
    timerDlgTimeout->setInterval(1000);
    connect(timerDlgTimeout, &QTimer::timeout, this, &TRestorePromptForm::timerDlgTimeoutTimer);
    connect(ui->btnAccept, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btnReject, &QPushButton::clicked, this, &QDialog::reject);
    // Seconds on a clock that a change of the PC's time does not move.
    m_clock = [] {
        return static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                       std::chrono::steady_clock::now().time_since_epoch())
                                       .count());
    };
}

TRestorePromptForm::~TRestorePromptForm()
{
    delete ui;
}

void TRestorePromptForm::SetTiming(int timeoutSeconds, std::function<time_t()> clock, int tickMilliseconds)
{
    m_timeoutSeconds = timeoutSeconds;
    if (clock)
        m_clock = std::move(clock);
    timerDlgTimeout->setInterval(tickMilliseconds);
}

void TRestorePromptForm::InitGUIWithData(uint32_t requestSerial, uint32_t backupSerial, uint32_t backupDate)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", requestSerial);
    ui->lbRequestingQuarnex->setText(QString::fromLatin1(buf));
    std::snprintf(buf, sizeof buf, "%08X", backupSerial);
    ui->lbBackupQuarnex->setText(QString::fromLatin1(buf));
    std::string date;
    CTimeUtil(CTimeUtil::ToLocal(backupDate)).ToDisplayString(date);
    ui->lbBackupDate->setText(QString::fromStdString(date));
    ui->lbResponseTimeoutMsg->clear();
}

void TRestorePromptForm::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    FormShow();
}

void TRestorePromptForm::FormShow()
{
    setWindowTitle(QStringLiteral("Confirm Restore Request"));
    ui->lbTitle->setText(QStringLiteral("Restore Request"));
    ui->lbRequestingQuarnexDesc->setText(
        QStringLiteral("The following Quarnex server is requesting a restore of a previous backup:"));
    ui->lbRequestingQuarnexLabel->setText(QStringLiteral("Requesting Quarnex Server:"));
    ui->lbCurBkupDesc->setText(
        QStringLiteral("Harborlock is currently configured to use the following backup for the restore:"));
    ui->lbBackupQuarnexLabel->setText(QStringLiteral("Backup From Quarnex Server:"));
    ui->lbBackupDateLabel->setText(QStringLiteral("Backup Date:"));
    ui->lbHelpIfWrongBackup->setText(
        QStringLiteral("If this is not the backup desired for this restore request, then click the Reject "
                       "button below, change the restore configuration on the main window, and restart the "
                       "restore operation on the Quarnex server."));
    ui->btnAccept->setText(QStringLiteral("Accept"));
    ui->btnReject->setText(QStringLiteral("Reject"));
    // The answer window starts once per prompt: showing it again (after it was minimised)
    // does not give the request more time.
    if (!m_started) {
        m_started = true;
        m_startTime = m_clock();
        timerDlgTimeout->start();
        // The seconds left are shown from the start, not only after the first tick.
        timerDlgTimeoutTimer();
        // Fit the dialog to the texts it now holds.
        adjustSize();
    }
    raise();
    activateWindow();
}

void TRestorePromptForm::timerDlgTimeoutTimer()
{
    const long long remaining =
        static_cast<long long>(m_startTime) + m_timeoutSeconds - static_cast<long long>(m_clock());
    if (remaining > 0) {
        ui->lbResponseTimeoutMsg->setText(
            QStringLiteral("If no response in %1 seconds, then this restore request will "
                           "automatically be rejected.")
                .arg(remaining));
    } else {
        timerDlgTimeout->stop();
        ui->btnReject->click();
    }
}
