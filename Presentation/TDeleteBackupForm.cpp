#include "TDeleteBackupForm.h"
#include "ui_TDeleteBackupForm.h"

#include "CBFMRepository.h"
#include "CWork.h"

TDeleteBackupForm::TDeleteBackupForm(QWidget *owner)
    : QDialog(owner), ui(new Ui::TDeleteBackupForm)
{
    ui->setupUi(this);
    setWindowTitle("Delete a backup");
    ui->lbSelectSpecific->setText("Select a Backup to Delete:");
    ui->btnOK->setText("OK");
    ui->btnCancel->setText("Cancel");
    connect(ui->btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

TDeleteBackupForm::~TDeleteBackupForm()
{
    delete ui;
}

void TDeleteBackupForm::InitGUIWithData(const std::vector<TBackupInfo> &backups)
{
    ui->cboxBackupSelection->clear();
    if (!backups.empty()) {
        for (const TBackupInfo &info : backups)
            ui->cboxBackupSelection->addItem(QString::fromStdString(CWork::GetBackupDescription(info)));
    } else {
        ui->cboxBackupSelection->addItem("There are no Harborlock backups");
        QFont font = ui->cboxBackupSelection->font();
        font.setItalic(true);
        ui->cboxBackupSelection->setFont(font);
        m_noBackups = true;
    }
    ui->cboxBackupSelection->setCurrentIndex(0);
}

void TDeleteBackupForm::GetData(int &index) const
{
    index = m_noBackups ? -1 : ui->cboxBackupSelection->currentIndex();
}
