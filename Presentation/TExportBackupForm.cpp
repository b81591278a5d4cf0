#include "TExportBackupForm.h"
#include "ui_TExportBackupForm.h"

#include "CPlatformShell.h"
#include "ClientUtil.h"
#include "Platform.h"
#include "TBackupSelection.h"

namespace {

const char* const kInstructions =
    "Harborlock manages all server backup data for you.  When you need to archive this data onto "
    "other media (i.e. DVD) or send the data to another site (i.e. so it can be used to replicate "
    "a server at the other site), use the Harborlock export and import features."
    "\r\n\r\n"
    "Export creates an external copy of an Harborlock backup such that it can be imported later "
    "into this or another Harborlock installation.";

} // namespace

TExportBackupForm::TExportBackupForm(QWidget* owner) : QDialog(owner), ui(new Ui::TExportBackupForm)
{
    ui->setupUi(this);
    setWindowTitle("Export a backup");
    ui->memoInstructions->setText(kInstructions);
    ui->lbSelectSpecific->setText("Select a Backup to Export:");
    ui->lbExportDir->setText("Select the folder to export the backup to:");
    ui->btnBrowse->setText("Browse");
    ui->lbExportName->setText("Enter a name for this exported backup:");
    ui->btnOK->setText("OK");
    ui->btnCancel->setText("Cancel");
    connect(ui->btnBrowse, &QPushButton::clicked, this, &TExportBackupForm::btnBrowseClick);
    connect(ui->btnOK, &QPushButton::clicked, this, &TExportBackupForm::btnOKClick);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

TExportBackupForm::~TExportBackupForm()
{
    delete ui;
}

void TExportBackupForm::InitGUIWithData(const std::vector<TBackupInfo>& backups)
{
    m_noBackups = !TBackupSelection::Fill(ui->cboxBackupSelection, backups);
    if (m_noBackups) {
        ui->lbExportName->setEnabled(false);
        ui->editExportName->setEnabled(false);
        ui->lbExportDir->setEnabled(false);
        ui->editExportDir->setEnabled(false);
        ui->btnBrowse->setEnabled(false);
    }
}

void TExportBackupForm::GetData(int& index, std::string& path) const
{
    index = m_noBackups ? -1 : ui->cboxBackupSelection->currentIndex();
    path = m_exportPath;
}

void TExportBackupForm::btnBrowseClick()
{
    std::string folder;
    CPlatformShell::BrowseForFolder(this, "Choose a folder to export the backup to:", folder);
    if (!folder.empty())
        ui->editExportDir->setText(QString::fromStdString(folder));
}

void TExportBackupForm::btnOKClick()
{
    if (m_noBackups) {
        accept();
        return;
    }
    const std::string name = ui->editExportName->text().toStdString();
    const std::string folder = ui->editExportDir->text().toStdString();
    if (name.empty()) {
        Refuse(ui->editExportName, "No export name is specified");
        return;
    }
    if (folder.empty()) {
        Refuse(ui->editExportDir, "No export folder is specified");
        return;
    }
    if (!hl::Os().PathExists(folder)) {
        Refuse(ui->editExportDir, "The export folder doesn't exist");
        return;
    }
    if (!ClientUtil::IsDirWritable(folder)) {
        Refuse(ui->editExportDir, "The export folder is not writeable");
        return;
    }
    // Joined as typed: a trailing separator doubles, which the file system accepts.
    const std::string fullPath = folder + "/" + name;
    if (hl::Os().PathExists(fullPath)) {
        Refuse(ui->editExportName,
               QString::fromStdString("The export name is invalid.\n" + fullPath + " already exists."));
        return;
    }
    m_exportPath = fullPath;
    accept();
}

void TExportBackupForm::Refuse(QWidget* focus, const QString& text)
{
    focus->setFocus();
    CPlatformShell::ErrorBox(this, text.toStdString());
}
