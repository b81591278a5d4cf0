#pragma once
// The about box: product name and version of the running program, created once and shown
// modally from the Help menu.

#include <QDialog>

#include <string>

namespace Ui {
class TAboutBox;
}

class TAboutBox : public QDialog {
    Q_OBJECT

public:
    explicit TAboutBox(QWidget* owner = nullptr);
    ~TAboutBox() override;

    // "Software Version: <file version>[ - <comments>]", or empty without a file version.
    static std::string VersionText(const std::string& fileVersion, const std::string& comments);

protected:
    void showEvent(QShowEvent* e) override;

private:
    Ui::TAboutBox* ui;
};
