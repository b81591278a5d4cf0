#pragma once
// Shows a snapshot of the debug-log file for support, and can save a copy of it.

#include <QDialog>

#include <string>

class QFileDialog;
class QMenu;

namespace Ui {
class TViewDebugLogForm;
}

class TViewDebugLogForm : public QDialog {
    Q_OBJECT

public:
    explicit TViewDebugLogForm(QWidget* owner = nullptr);
    ~TViewDebugLogForm() override;

    // Loads the file's lines (a missing file leaves the viewer empty) and scrolls to the end.
    void InitGUIWithData(const std::string& path);

    QMenu* PopupMenu() const { return popupmenuDebugLog; }

protected:
    void showEvent(QShowEvent* e) override;

private slots:
    void menuitemSaveAsClick();
    void menuitemSelectAllClick();

private:
    void LoadFile(const std::string& path);
    void ScrollToEnd();

    Ui::TViewDebugLogForm* ui;
    QMenu* popupmenuDebugLog;
    QFileDialog* savedlgDebugLog;
};
