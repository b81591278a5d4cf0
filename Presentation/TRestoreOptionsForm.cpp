#include "TRestoreOptionsForm.h"
#include "ui_TRestoreOptionsForm.h"

#include "CPlatformShell.h"

TRestoreOptionsForm::TRestoreOptionsForm(QWidget* owner) : QDialog(owner), ui(new Ui::TRestoreOptionsForm)
{
    ui->setupUi(this);
    connect(ui->chkboxAutoSelect, &QCheckBox::clicked, this, &TRestoreOptionsForm::chkboxAutoSelectClick);
    connect(ui->btnOK, &QPushButton::clicked, this, &TRestoreOptionsForm::btnOKClick);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

TRestoreOptionsForm::~TRestoreOptionsForm()
{
    delete ui;
}

void TRestoreOptionsForm::InitGUIWithData(bool autoSelect, const std::vector<std::string>& descriptions,
                                          int index)
{
    if (!descriptions.empty()) {
        ui->chkboxAutoSelect->setChecked(autoSelect);
        ui->chkboxAutoSelect->setEnabled(true);
        ui->lbOnlyAutoSelect->hide();
    } else {
        ui->chkboxAutoSelect->setChecked(true);
        ui->chkboxAutoSelect->setEnabled(false);
        ui->lbOnlyAutoSelect->show();
    }
    ui->cboxBackupSelection->clear();
    for (const std::string& d : descriptions)
        ui->cboxBackupSelection->addItem(QString::fromStdString(d));
    ui->cboxBackupSelection->setCurrentIndex(index >= 0 && index < int(descriptions.size()) ? index : -1);
    EnableSelection();
}

void TRestoreOptionsForm::GetData(bool& autoSelect, int& index) const
{
    autoSelect = ui->chkboxAutoSelect->isChecked();
    index = ui->cboxBackupSelection->currentIndex();
}

void TRestoreOptionsForm::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    FormShow();
}

void TRestoreOptionsForm::FormShow()
{
    setWindowTitle(QStringLiteral("Restore Options"));
    ui->grpboxSelect->setTitle(QStringLiteral("Select Backup For Next Restore"));
    ui->memoInstructions->setText(QStringLiteral(
        "When the Quarnex server is told to begin a restore operation, it contacts Harborlock to "
        "obtain a previously saved backup.  The backup retrieved can be selected from among all "
        "the saved backups known by Harborlock.\r\n\r\n"
        "When the Auto Select option is checked, Harborlock will use the most recent backup from "
        "the same Quarnex server as the server requesting the restore.  To use another backup for "
        "the restore, uncheck the Auto Select option and select a specific backup from the drop "
        "down list."));
    ui->chkboxAutoSelect->setText(QStringLiteral("Auto Select"));
    ui->lbSelectSpecific->setText(QStringLiteral("Select Specific Backup:"));
    ui->lbOnlyAutoSelect->setText(QStringLiteral(
        "Currently, there are no Quarnex backups stored in Harborlock.  Auto Select is the only "
        "valid choice."));
    ui->btnOK->setText(QStringLiteral("OK"));
    ui->btnCancel->setText(QStringLiteral("Cancel"));
    // Fit the dialog to the texts it now holds.
    adjustSize();
}

void TRestoreOptionsForm::EnableSelection()
{
    const bool specific = !ui->chkboxAutoSelect->isChecked();
    ui->cboxBackupSelection->setEnabled(specific);
    ui->lbSelectSpecific->setEnabled(specific);
}

void TRestoreOptionsForm::chkboxAutoSelectClick()
{
    EnableSelection();
}

void TRestoreOptionsForm::btnOKClick()
{
    if (ui->chkboxAutoSelect->isChecked() || !ui->cboxBackupSelection->currentText().isEmpty()) {
        accept();
        return;
    }
    ui->cboxBackupSelection->setFocus();
    CPlatformShell::ErrorBox(this, "Must have a backup selected if Auto Select is not checked.");
}
