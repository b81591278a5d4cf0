#include "TSettingsModForm.h"
#include "ui_TSettingsModForm.h"

#include "CPlatformShell.h"
#include "ClientUtil.h"
#include "Platform.h"

#include <QScrollBar>
#include <QTextCursor>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

TSettingsModForm::TSettingsModForm(QWidget* owner) : QDialog(owner), ui(new Ui::TSettingsModForm)
{
    ui->setupUi(this);
    SetOneLineHeight(ui->memoIPAddrVal);
    SetPeerRules({}, CPeerRules::Settings()); // until the caller offers this PC's addresses
    connect(ui->btnBrowse, &QPushButton::clicked, this, &TSettingsModForm::btnBrowseClick);
    connect(ui->btnOK, &QPushButton::clicked, this, &TSettingsModForm::btnOKClick);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

TSettingsModForm::~TSettingsModForm()
{
    delete ui;
}

namespace {
// The ports the backup service serves (HLKBackup::HLK_Reset).
constexpr int kMinServedPort = 1025;
constexpr int kMaxServedPort = 8191;
const char* const kAllAddresses = "All addresses";
// The one-line height the memo was laid out with; the line spacing is taken
// from it on every fill so that repeated refreshes keep the same height.
const char* const kBaseHeight = "hlBaseHeight";
} // namespace

void TSettingsModForm::SetOneLineHeight(QPlainTextEdit* memo)
{
    const int h = memo->fontMetrics().height();
    const int margin = static_cast<int>(memo->document()->documentMargin()) + memo->frameWidth();
    memo->setFixedHeight(h + 2 * margin);
    memo->setProperty(kBaseHeight, h + 2 * margin);
}

int TSettingsModForm::FillIPAddrMemo(QPlainTextEdit* memo, const std::vector<std::string>& addresses,
                                     int maxLines)
{
    memo->clear();
    const int oldHeight = memo->maximumHeight() < QWIDGETSIZE_MAX ? memo->maximumHeight() : memo->height();
    const QVariant base = memo->property(kBaseHeight);
    const int baseHeight = base.isValid() ? base.toInt() : oldHeight;
    if (addresses.empty()) {
        memo->setPlainText(QStringLiteral("Unknown"));
    } else {
        QStringList lines;
        for (const std::string& a : addresses)
            lines << QString::fromStdString(a);
        memo->setPlainText(lines.join(QLatin1Char('\n')));
        const int h = std::abs(memo->fontMetrics().height());
        const int m = (baseHeight - h) / 2;
        int n = static_cast<int>(addresses.size());
        if (maxLines > 0 && n > maxLines) {
            n = maxLines;
            memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            memo->setFrameShape(QFrame::NoFrame);
        }
        memo->setFixedHeight((m + h) * n + m);
    }
    memo->moveCursor(QTextCursor::Start);
    memo->verticalScrollBar()->setValue(0);
    return memo->maximumHeight() - oldHeight;
}

void TSettingsModForm::InitGUIWithData(const std::vector<std::string>& addresses, const std::string& port,
                                       const std::string& folder)
{
    // The layout grows the group box and the dialog with the memo.
    FillIPAddrMemo(ui->memoIPAddrVal, addresses, 0);
    ui->editIPPort->setText(QString::fromStdString(port));
    ui->editFolder->setText(QString::fromStdString(folder));
}

void TSettingsModForm::GetData(std::string& port, std::string& folder) const
{
    port = ui->editIPPort->text().toStdString();
    folder = ui->editFolder->text().toStdString();
}

void TSettingsModForm::SetPeerRules(const std::vector<std::string>& addresses,
                                    const CPeerRules::Settings& rules)
{
    m_addresses = addresses;
    ui->cboxListenOn->clear();
    ui->cboxListenOn->addItem(QString::fromLatin1(kAllAddresses));
    for (const std::string& a : addresses)
        ui->cboxListenOn->addItem(QString::fromStdString(a));
    if (rules.listenAddress.empty())
        ui->cboxListenOn->setCurrentIndex(0);
    else
        ui->cboxListenOn->setCurrentText(QString::fromStdString(rules.listenAddress));
    ui->editAcceptFrom->setText(QString::fromStdString(rules.acceptFrom));
    ui->chkboxPinServers->setChecked(rules.pinServers);
    ui->chkboxRestoreNeedsPrompt->setChecked(rules.restoreNeedsPrompt);
}

CPeerRules::Settings TSettingsModForm::PeerRules() const
{
    CPeerRules::Settings rules;
    const std::string listen = ui->cboxListenOn->currentText().trimmed().toStdString();
    if (listen != kAllAddresses)
        rules.listenAddress = listen;
    rules.acceptFrom = ui->editAcceptFrom->text().trimmed().toStdString();
    rules.pinServers = ui->chkboxPinServers->isChecked();
    rules.restoreNeedsPrompt = ui->chkboxRestoreNeedsPrompt->isChecked();
    return rules;
}

void TSettingsModForm::SetStartAtLogin(bool enabled)
{
    ui->chkboxStartAtLogin->setChecked(enabled);
}

bool TSettingsModForm::StartAtLogin() const
{
    return ui->chkboxStartAtLogin->isChecked();
}

void TSettingsModForm::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    FormShow();
}

void TSettingsModForm::FormShow()
{
    setWindowTitle(QStringLiteral("Modify Settings"));
    ui->grpboxIPAddr->setTitle(QStringLiteral("PC IP Address:"));
    ui->memoIPAddrInstr->setText(QStringLiteral("The PC IP Address setting is read-only."));
    ui->lbIPAddr->setText(QStringLiteral("PC IP Address:"));
    ui->grpboxIPPort->setTitle(QStringLiteral("TCP/IP Port:"));
    ui->memoIPPortInstr->setText(
        QStringLiteral("The TCP/IP Port setting is used to communicate between Harborlock and the Quarnex "
                       "server.  The setting must be identical here and on the Quarnex server."));
    ui->lbIPPort->setText(QStringLiteral("TCP/IP Port:"));
    ui->grpboxBackupFolder->setTitle(QStringLiteral("Backup Folder:"));
    ui->memoFolderInstr->setText(QStringLiteral(
        "Harborlock stores all backup data in the Backup Folder.  It is recommended that this "
        "folder be used solely for Harborlock.  Note that when changing this, Harborlock does not "
        "automatically move all backup data from the old to the new folder."));
    ui->lbFolder->setText(QStringLiteral("Backup Folder:"));
    ui->btnBrowse->setText(QStringLiteral("Browse..."));
    ui->grpboxPeerRules->setTitle(QStringLiteral("Quarnex Servers Allowed In:"));
    ui->memoPeerRulesInstr->setText(QStringLiteral(
        "The Quarnex servers do not identify themselves; anyone on the network can send or ask for "
        "a backup.  These rules limit who is served.  Leave them as they are to serve everyone."));
    ui->lbListenOn->setText(QStringLiteral("Listen on:"));
    ui->lbAcceptFrom->setText(QStringLiteral("Accept connections only from:"));
    ui->editAcceptFrom->setPlaceholderText(QStringLiteral("everyone; or e.g. 192.168.1.0/24, 10.0.0.5"));
    ui->chkboxPinServers->setText(QStringLiteral("Pin each server to the address it first backed up from"));
    ui->chkboxRestoreNeedsPrompt->setText(QStringLiteral("A restore needs an accepted prompt"));
    ui->chkboxStartAtLogin->setText(QStringLiteral("Start Harborlock when I log in"));
    ui->btnOK->setText(QStringLiteral("OK"));
    ui->btnCancel->setText(QStringLiteral("Cancel"));
    // Fit the dialog to the texts it now holds.
    adjustSize();
}

void TSettingsModForm::btnBrowseClick()
{
    std::string path;
    CPlatformShell::BrowseForFolder(this, "Choose a folder to store the backup data:", path);
    if (!path.empty())
        ui->editFolder->setText(QString::fromStdString(path));
}

void TSettingsModForm::btnOKClick()
{
    const std::string port = ui->editIPPort->text().toStdString();
    for (char c : port) {
        if (c < '0' || c > '9') {
            ui->editIPPort->setFocus();
            CPlatformShell::ErrorBox(this, "IP Port must be a number");
            return;
        }
    }
    // Digits only by now; leading zeros do not count, so "08080" is 8080.
    // Parsed with a ceiling so that a long run of digits cannot overflow.
    long value = 0;
    for (char c : port)
        value = std::min(value * 10 + (c - '0'), 1000000L);
    // The service listens only on ports in this range; any other would be saved and shown
    // while nothing listens on it.
    if (value < kMinServedPort || value > kMaxServedPort) {
        ui->editIPPort->setFocus();
        char text[96];
        std::snprintf(text, sizeof text, "%s %d %s %d", "IP Port must be between", kMinServedPort, "and",
                      kMaxServedPort);
        CPlatformShell::ErrorBox(this, text);
        return;
    }
    const std::string folder = ui->editFolder->text().toStdString();
    // A relative path would name a folder under whatever folder the program was started in.
    if (!folder.empty() && folder.front() != '/') {
        ui->editFolder->setFocus();
        CPlatformShell::ErrorBox(this, "The backup folder must be a full path, starting with /");
        return;
    }
    if (folder.empty() || !hl::Os().PathExists(folder)) {
        ui->editFolder->setFocus();
        CPlatformShell::ErrorBox(this, "The backup folder must exist");
        return;
    }
    if (!ClientUtil::IsDirWritable(folder)) {
        ui->editFolder->setFocus();
        CPlatformShell::ErrorBox(this, "The backup folder must be writeable");
        return;
    }
    const CPeerRules::Settings rules = PeerRules();
    std::uint32_t address = 0;
    const bool known =
        rules.listenAddress.empty() || rules.listenAddress.rfind("127.", 0) == 0 ||
        std::find(m_addresses.begin(), m_addresses.end(), rules.listenAddress) != m_addresses.end();
    if (!CPeerRules::ParseAddress(rules.listenAddress.empty() ? "0.0.0.0" : rules.listenAddress, address) ||
        !known) {
        ui->cboxListenOn->setFocus();
        CPlatformShell::ErrorBox(this, "Listen on must be All addresses or an IPv4 address of this PC");
        return;
    }
    std::vector<CPeerRules::Network> networks;
    std::string bad;
    if (!CPeerRules::ParseAcceptList(rules.acceptFrom, networks, &bad)) {
        ui->editAcceptFrom->setFocus();
        CPlatformShell::ErrorBox(this, "\"" + bad +
                                           "\" is not an IPv4 address or network (such as 192.168.1.0/24)");
        return;
    }
    accept();
}
