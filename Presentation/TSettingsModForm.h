#pragma once
// Changes the TCP port, the backup folder and the peer rules; shows the PC's IP addresses.

#include <QDialog>

#include "CPeerRules.h"

#include <string>
#include <vector>

class QPlainTextEdit;
namespace Ui {
class TSettingsModForm;
}

class TSettingsModForm : public QDialog {
    Q_OBJECT

public:
    explicit TSettingsModForm(QWidget* owner);
    ~TSettingsModForm() override;

    void InitGUIWithData(const std::vector<std::string>& addresses, const std::string& port,
                         const std::string& folder);
    void GetData(std::string& port, std::string& folder) const;

    // The peer rules; the listen-on list offers "All addresses" and the given addresses.
    void SetPeerRules(const std::vector<std::string>& addresses, const CPeerRules::Settings& rules);
    CPeerRules::Settings PeerRules() const;

    // "Start Harborlock when I log in" (the autostart entry is the window's to write).
    void SetStartAtLogin(bool enabled);
    bool StartAtLogin() const;

    // Fills an address memo, one address a line or "Unknown", and sizes it to
    // show at most maxLines lines (0: all). Returns the change of its height.
    static int FillIPAddrMemo(QPlainTextEdit* memo, const std::vector<std::string>& addresses, int maxLines);
    // Gives an address memo the height of one line before its first fill.
    static void SetOneLineHeight(QPlainTextEdit* memo);

protected:
    void showEvent(QShowEvent* e) override;

private slots:
    void btnBrowseClick();
    void btnOKClick();

private:
    void FormShow();

    Ui::TSettingsModForm* ui;
    std::vector<std::string> m_addresses; // offered to listen on
};
