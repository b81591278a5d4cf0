#include "TImportBackupForm.h"
#include "ui_TImportBackupForm.h"

#include "CPlatformShell.h"
#include "Platform.h"

namespace {

const char* const kInstructions =
    "Harborlock manages all server backup data for you.  When you need to archive this data onto "
    "other media (i.e. DVD) or send the data to another site (i.e. so it can be used to replicate "
    "a server at the other site), use the Harborlock export and import features."
    "\r\n\r\n"
    "Import transfers a previously exported backup into this Harborlock installation so that it "
    "can be used to restore a local Quarnex server.";

} // namespace

TImportBackupForm::TImportBackupForm(QWidget* owner) : QDialog(owner), ui(new Ui::TImportBackupForm)
{
    ui->setupUi(this);
    setWindowTitle("Import a backup");
    ui->memoInstructions->setText(kInstructions);
    ui->lbImportDir->setText("Select the folder to import the backup from:");
    ui->btnBrowse->setText("Browse");
    ui->btnOK->setText("OK");
    ui->btnCancel->setText("Cancel");
    connect(ui->btnBrowse, &QPushButton::clicked, this, &TImportBackupForm::btnBrowseClick);
    connect(ui->btnOK, &QPushButton::clicked, this, &TImportBackupForm::btnOKClick);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

TImportBackupForm::~TImportBackupForm()
{
    delete ui;
}

void TImportBackupForm::GetData(std::string& folder) const
{
    folder = ui->editImportDir->text().toStdString();
}

void TImportBackupForm::btnBrowseClick()
{
    std::string folder;
    CPlatformShell::BrowseForFolder(this, "Choose a folder to import the backup from:", folder);
    if (!folder.empty())
        ui->editImportDir->setText(QString::fromStdString(folder));
}

void TImportBackupForm::btnOKClick()
{
    const std::string folder = ui->editImportDir->text().toStdString();
    if (folder.empty()) {
        Refuse("No import folder is specified");
        return;
    }
    if (!hl::Os().PathExists(folder)) {
        Refuse("The import folder doesn't exist");
        return;
    }
    accept();
}

void TImportBackupForm::Refuse(const QString& text)
{
    ui->editImportDir->setFocus();
    CPlatformShell::ErrorBox(this, text.toStdString());
}
