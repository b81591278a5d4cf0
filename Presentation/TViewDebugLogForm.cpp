#include "TViewDebugLogForm.h"
#include "ui_TViewDebugLogForm.h"

#include "Platform.h"
#include "TExceptionDlg.h"

#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QMenu>
#include <QScrollBar>
#include <QTextCursor>

#include <stdexcept>

TViewDebugLogForm::TViewDebugLogForm(QWidget* owner) : QDialog(owner), ui(new Ui::TViewDebugLogForm)
{
    ui->setupUi(this);
    setWindowTitle("View debug log");
    ui->memoWarning->setText("Note: This is information is not required for normal use of Harborlock.  "
                             "You may only want to look at this when instructed by Customer Support.");
    ui->menuitemSaveAs->setText("Save As");
    ui->menuitemSelectAll->setText("Select All");
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    ui->memoDebugLog->setFont(fixed);

    popupmenuDebugLog = new QMenu(this);
    popupmenuDebugLog->setObjectName("popupmenuDebugLog");
    popupmenuDebugLog->addAction(ui->menuitemSaveAs);
    popupmenuDebugLog->addAction(ui->menuitemSelectAll);
    connect(ui->memoDebugLog, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { popupmenuDebugLog->popup(ui->memoDebugLog->mapToGlobal(pos)); });
    connect(ui->menuitemSaveAs, &QAction::triggered, this, &TViewDebugLogForm::menuitemSaveAsClick);
    connect(ui->menuitemSelectAll, &QAction::triggered, this, &TViewDebugLogForm::menuitemSelectAllClick);

    savedlgDebugLog = new QFileDialog(this);
    savedlgDebugLog->setObjectName("savedlgDebugLog");
    savedlgDebugLog->setAcceptMode(QFileDialog::AcceptSave);
    savedlgDebugLog->setFileMode(QFileDialog::AnyFile);
    savedlgDebugLog->setDefaultSuffix("txt");
    savedlgDebugLog->setNameFilter("Text File (*.txt)");
}

TViewDebugLogForm::~TViewDebugLogForm()
{
    delete ui;
}

void TViewDebugLogForm::InitGUIWithData(const std::string& path)
{
    TExceptionDlg::Guard("TViewDebugLogForm::InitGUIWithData", "Presentation/TViewDebugLogForm", __LINE__,
                         [&] { LoadFile(path); });
}

void TViewDebugLogForm::LoadFile(const std::string& path)
{
    if (!hl::Os().PathExists(path))
        return;
    // The log stays open for appending elsewhere; reading it takes no lock.
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("Cannot open file \"" + path + "\". " + file.errorString().toStdString());
    QString text = QString::fromUtf8(file.readAll());
    file.close();
    if (text.endsWith('\n'))
        text.chop(1);
    ui->memoDebugLog->setPlainText(text);
    ScrollToEnd();
}

void TViewDebugLogForm::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    // The scroll range is known only once the memo has its size.
    ScrollToEnd();
}

void TViewDebugLogForm::ScrollToEnd()
{
    ui->memoDebugLog->moveCursor(QTextCursor::End);
    ui->memoDebugLog->ensureCursorVisible();
    QScrollBar* bar = ui->memoDebugLog->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void TViewDebugLogForm::menuitemSaveAsClick()
{
    if (savedlgDebugLog->exec() != QDialog::Accepted || savedlgDebugLog->selectedFiles().isEmpty())
        return;
    TExceptionDlg::Guard("TViewDebugLogForm::menuitemSaveAsClick", "Presentation/TViewDebugLogForm", __LINE__,
                         [&] {
                             const QString target = savedlgDebugLog->selectedFiles().first();
                             QFile file(target);
                             if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
                                 throw std::runtime_error("Cannot create file \"" + target.toStdString() +
                                                          "\". " + file.errorString().toStdString());
                             QString text = ui->memoDebugLog->toPlainText();
                             if (!text.isEmpty())
                                 text += '\n';
                             if (file.write(text.toUtf8()) < 0 || !file.flush())
                                 throw std::runtime_error("Cannot write file \"" + target.toStdString() +
                                                          "\". " + file.errorString().toStdString());
                         });
}

void TViewDebugLogForm::menuitemSelectAllClick()
{
    ui->memoDebugLog->setFocus();
    ui->memoDebugLog->selectAll();
}
