#pragma once
// Backup options: each server's force-full policy and the number of old backups to keep,
// shown and edited for one server at a time.

#include <QDialog>

#include <cstdint>
#include <vector>

#include "SmartPtr.h"

class CBFMServer;
class QGroupBox;

namespace Ui {
class TBackupOptionsForm;
}

class TBackupOptionsForm : public QDialog {
    Q_OBJECT

public:
    using ServerList = std::vector<SmartPtr<CBFMServer>>;

    explicit TBackupOptionsForm(QWidget* owner = nullptr);
    ~TBackupOptionsForm() override;

    void InitGUIWithData(const ServerList& servers);
    // index is -1 when no server is chosen; type 0 days, 1 incrementals, 2 never.
    void GetData(int& serverIndex, int& forceFullNumber, int& forceFullType, int& numToKeep) const;

private slots:
    void cboxServerSelectionChange(int index);
    void rbForceFullClick();

private:
    void LoadSelectedOptions();
    void FitHeight();
    void EnableOptions(bool enable);
    static void EnableGroup(QGroupBox* group, bool enable);
    int SelectedServerIndex() const;

    Ui::TBackupOptionsForm* ui;
    ServerList m_servers;
    bool m_noServers = false;
    bool m_placeholder = false;
};
