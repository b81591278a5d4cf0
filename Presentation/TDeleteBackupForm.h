#pragma once
// Delete a backup: lists the repository's backups and returns the chosen entry.

#include <QDialog>

#include <vector>

struct TBackupInfo;

namespace Ui {
class TDeleteBackupForm;
}

class TDeleteBackupForm : public QDialog {
    Q_OBJECT

public:
    explicit TDeleteBackupForm(QWidget* owner = nullptr);
    ~TDeleteBackupForm() override;

    // Fills the list with one description per entry, or the italic placeholder when empty.
    void InitGUIWithData(const std::vector<TBackupInfo>& backups);
    // The selected list index, or -1 when there are no backups.
    void GetData(int& index) const;

    bool HasNoBackups() const { return m_noBackups; }

private:
    Ui::TDeleteBackupForm* ui;
    bool m_noBackups = false;
};
