#include "TBackupOptionsForm.h"
#include "ui_TBackupOptionsForm.h"

#include "CBFMServer.h"

#include <QLayout>
#include <QLineEdit>

#include <QSignalBlocker>
#include <algorithm>

namespace {

const char* const kIntroduction =
    "Each Quarnex server has an independent set of backup options.  Select an Quarnex server "
    "below and then inspect or modify any of its options.";

const char* const kForceFullDesc =
    "The Quarnex server initiates backups to the Harborlock application running on this PC "
    "according to options set on the Quarnex Web Administration Harborlock page.  The Backup "
    "Start Time and Backup Frequency settings determine when a backup will start.  The Backup "
    "Mode setting on that page determines whether the backup will be Full or Incremental."
    "\r\n\r\n"
    "Incremental backup mode is generally faster than a Full since it sends only the changes made "
    "since the last backup. However, it is highly recommended to run a Full backup periodically to "
    "improve backup data reliability."
    "\r\n\r\n"
    "The Harborlock application can periodically override the Quarnex server Backup Mode setting "
    "such that Incremental backups are interspersed with a Full backup.  To enable this, set the "
    "Backup Mode on the Quarnex server to Incremental and choose one of the first two options "
    "below.  Otherwise, choose the third option.";

const char* const kRetainDesc =
    "Harborlock can automatically retain old backup versions when a new full backup is started.  "
    "The number of old versions to save is selectable below.";

} // namespace

TBackupOptionsForm::TBackupOptionsForm(QWidget* owner) : QDialog(owner), ui(new Ui::TBackupOptionsForm)
{
    ui->setupUi(this);
    // Each up-down's text field is the edit of the pair.
    ui->udNumDays->findChild<QLineEdit*>()->setObjectName("editNumDays");
    ui->udNumIncrs->findChild<QLineEdit*>()->setObjectName("editNumIncrs");
    ui->udKeepNum->findChild<QLineEdit*>()->setObjectName("editKeepNum");

    setWindowTitle("Set Backup Options");
    ui->grpboxChooseServer->setTitle("Choose Quarnex Server:");
    ui->memoIntroduction->setText(kIntroduction);
    ui->lbQuarnexServer->setText("Quarnex Server:");
    ui->memoNoServer->setText("Option setting is disabled until a backup has been performed.");
    ui->grpboxModeOverride->setTitle("Override Quarnex Server Backup Mode");
    ui->memoForceFullDesc->setText(kForceFullDesc);
    ui->rbForceFullDay->setText("Force a full backup whenever it has been");
    ui->lbForceFullDay2->setText("or more days since the last full backup.");
    ui->rbForceFullIncr->setText("Force a full backup after every");
    ui->lbForceFullIncr2->setText("incremental backups.");
    ui->rbForceFullNever->setText("Never force a full backup.");
    ui->grpboxRetainOldBackups->setTitle("Retain Old Backups");
    ui->memoRetainOldBackupsDesc->setText(kRetainDesc);
    ui->lbKeep1->setText("Keep at most");
    ui->lbKeep2->setText("old backup versions.");
    ui->btnOK->setText("OK");
    ui->btnCancel->setText("Cancel");
    ui->memoNoServer->setVisible(false);

    connect(ui->cboxServerSelection, &QComboBox::currentIndexChanged, this,
            &TBackupOptionsForm::cboxServerSelectionChange);
    for (QRadioButton* rb : {ui->rbForceFullDay, ui->rbForceFullIncr, ui->rbForceFullNever})
        connect(rb, &QRadioButton::toggled, this, [this](bool checked) {
            if (checked)
                rbForceFullClick();
        });
    connect(ui->btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

TBackupOptionsForm::~TBackupOptionsForm()
{
    delete ui;
}

void TBackupOptionsForm::InitGUIWithData(const ServerList& servers)
{
    {
        const QSignalBlocker block(ui->cboxServerSelection);
        ui->cboxServerSelection->clear();
        m_noServers = false;
        m_placeholder = false;
        m_servers.clear();
        if (servers.empty()) {
            ui->cboxServerSelection->addItem("Harborlock has no server backups");
            m_noServers = true;
        } else {
            if (servers.size() > 1) {
                ui->cboxServerSelection->addItem("Select a server");
                m_placeholder = true;
            }
            for (const auto& server : servers)
                ui->cboxServerSelection->addItem(QString::fromStdString(server->GetDisplayName()));
            m_servers = servers;
        }
        // The layout moves the groups below and grows the dialog by the memo's height.
        ui->memoNoServer->setVisible(m_noServers);
        ui->cboxServerSelection->setCurrentIndex(0);
    }
    LoadSelectedOptions();
    FitHeight();
}

void TBackupOptionsForm::FitHeight()
{
    // The word-wrapped texts need the height that goes with the dialog's width; a plain
    // size hint would cut their last lines.
    layout()->activate();
    const int w = std::max(width(), minimumSizeHint().width());
    const int h = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(w) : sizeHint().height();
    setMinimumHeight(h);
    resize(w, h);
}

int TBackupOptionsForm::SelectedServerIndex() const
{
    return ui->cboxServerSelection->currentIndex() - (m_placeholder ? 1 : 0);
}

void TBackupOptionsForm::cboxServerSelectionChange(int index)
{
    if (index >= 0)
        LoadSelectedOptions();
}

void TBackupOptionsForm::LoadSelectedOptions()
{
    const int i = SelectedServerIndex();
    ui->udNumDays->setValue(1);
    ui->udNumIncrs->setValue(1);
    if (m_noServers || i < 0 || i >= static_cast<int>(m_servers.size())) {
        ui->udKeepNum->setValue(0);
        EnableOptions(false);
        return;
    }
    EnableOptions(true);
    const CBFMServer& server = *m_servers[static_cast<std::size_t>(i)];
    switch (server.GetForceFullType()) {
    case CBFMServer::Days:
        ui->rbForceFullDay->setChecked(true);
        ui->udNumDays->setValue(server.GetForceFullNumber());
        break;
    case CBFMServer::Incrementals:
        ui->rbForceFullIncr->setChecked(true);
        ui->udNumIncrs->setValue(server.GetForceFullNumber());
        break;
    default: ui->rbForceFullNever->setChecked(true); break;
    }
    // The toggle does not fire when the button was already checked.
    rbForceFullClick();
    ui->udKeepNum->setValue(server.GetNumOldBackupsToKeep());
}

void TBackupOptionsForm::rbForceFullClick()
{
    const bool day = ui->rbForceFullDay->isChecked();
    const bool incr = ui->rbForceFullIncr->isChecked();
    ui->udNumDays->setEnabled(day);
    ui->udNumIncrs->setEnabled(incr);
}

void TBackupOptionsForm::EnableOptions(bool enable)
{
    EnableGroup(ui->grpboxModeOverride, enable);
    EnableGroup(ui->grpboxRetainOldBackups, enable);
}

void TBackupOptionsForm::EnableGroup(QGroupBox* group, bool enable)
{
    // A disabled group box draws its caption in the grey-text colour.
    group->setEnabled(enable);
    for (QWidget* child : group->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        child->setEnabled(enable);
}

void TBackupOptionsForm::GetData(int& serverIndex, int& forceFullNumber, int& forceFullType,
                                 int& numToKeep) const
{
    const int i = SelectedServerIndex();
    if (m_noServers || i < 0) {
        serverIndex = -1;
        forceFullNumber = 1;
        forceFullType = 0;
        numToKeep = 0;
        return;
    }
    serverIndex = i;
    if (ui->rbForceFullNever->isChecked()) {
        forceFullType = 2;
        forceFullNumber = 0;
    } else if (ui->rbForceFullIncr->isChecked()) {
        forceFullType = 1;
        forceFullNumber = static_cast<std::int16_t>(ui->udNumIncrs->value());
    } else {
        forceFullType = 0;
        forceFullNumber = static_cast<std::int16_t>(ui->udNumDays->value());
    }
    numToKeep = static_cast<std::int16_t>(ui->udKeepNum->value());
}
