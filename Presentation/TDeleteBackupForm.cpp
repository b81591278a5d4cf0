#include "TDeleteBackupForm.h"
#include "ui_TDeleteBackupForm.h"

#include "TBackupSelection.h"

TDeleteBackupForm::TDeleteBackupForm(QWidget* owner) : QDialog(owner), ui(new Ui::TDeleteBackupForm)
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

void TDeleteBackupForm::InitGUIWithData(const std::vector<TBackupInfo>& backups)
{
    m_noBackups = !TBackupSelection::Fill(ui->cboxBackupSelection, backups);
}

void TDeleteBackupForm::GetData(int& index) const
{
    index = m_noBackups ? -1 : ui->cboxBackupSelection->currentIndex();
}
