#pragma once
// Export a backup: choose one of the repository's backups, an existing writable folder and
// a new name; OK validates them and keeps the full export path.

#include <QDialog>

#include <string>
#include <vector>

struct TBackupInfo;

namespace Ui {
class TExportBackupForm;
}

class TExportBackupForm : public QDialog {
    Q_OBJECT

public:
    explicit TExportBackupForm(QWidget* owner = nullptr);
    ~TExportBackupForm() override;

    void InitGUIWithData(const std::vector<TBackupInfo>& backups);
    // index -1 when there are no backups; path is the validated folder + "/" + name.
    void GetData(int& index, std::string& path) const;

    bool HasNoBackups() const { return m_noBackups; }

private slots:
    void btnBrowseClick();
    void btnOKClick();

private:
    void Refuse(QWidget* focus, const QString& text);

    Ui::TExportBackupForm* ui;
    bool m_noBackups = false;
    std::string m_exportPath;
};
