#pragma once
// Import a backup: choose the folder of a previous export. Whether it holds a valid export
// is decided later by the repository, on the worker thread.

#include <QDialog>

#include <string>

namespace Ui {
class TImportBackupForm;
}

class TImportBackupForm : public QDialog {
    Q_OBJECT

public:
    explicit TImportBackupForm(QWidget* owner = nullptr);
    ~TImportBackupForm() override;

    // The text of the folder edit.
    void GetData(std::string& folder) const;

private slots:
    void btnBrowseClick();
    void btnOKClick();

private:
    void Refuse(const QString& text);

    Ui::TImportBackupForm* ui;
};
