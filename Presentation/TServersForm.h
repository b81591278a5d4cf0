#pragma once
// The Servers view: one row per known Quarnex server with its ID, name, last backup, number
// of stored backups, size on disk, state and warning limit; sortable by any column. Shown
// beside the main window (not modal) and filled again after every check of the monitor,
// which runs after each backup, restore, delete and import.

#include <QDialog>

#include <string>

class CStaleServerMonitor;
class QTableWidget;
namespace Ui {
class TServersForm;
}

class TServersForm : public QDialog {
    Q_OBJECT

public:
    enum EColumn {
        ColServerID,
        ColName,
        ColLastBackup,
        ColBackups,
        ColSize,
        ColState,
        ColWarnDays,
        ColCount
    };
    // Sort key of a cell (numbers for dates and sizes; text otherwise).
    static constexpr int SortRole = Qt::UserRole + 1;

    TServersForm(CStaleServerMonitor* monitor, QWidget* owner);
    ~TServersForm() override;

    // Fills the table from the monitor's last check, keeping the sort order and the selection.
    void Refresh();
    // The server of the selected row, or "".
    std::string SelectedServer() const;

protected:
    void showEvent(QShowEvent* e) override;

private slots:
    void tblServersSelectionChanged();
    void udWarnDaysChanged(int days);
    void btnRefreshClick();

private:
    void FormShow();

    Ui::TServersForm* ui;
    CStaleServerMonitor* m_monitor;
    bool m_filling = false;
};
