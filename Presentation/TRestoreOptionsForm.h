#pragma once
// Chooses the backup that the next restore uses: automatic, or one specific
// backup from the list.

#include <QDialog>

#include <string>
#include <vector>

namespace Ui {
class TRestoreOptionsForm;
}

class TRestoreOptionsForm : public QDialog {
    Q_OBJECT

public:
    explicit TRestoreOptionsForm(QWidget* owner);
    ~TRestoreOptionsForm() override;

    // descriptions: one line per backup, in list order; index -1 selects none.
    void InitGUIWithData(bool autoSelect, const std::vector<std::string>& descriptions, int index);
    void GetData(bool& autoSelect, int& index) const;

protected:
    void showEvent(QShowEvent* e) override;

private slots:
    void chkboxAutoSelectClick();
    void btnOKClick();

private:
    void FormShow();
    void EnableSelection();

    Ui::TRestoreOptionsForm* ui;
};
