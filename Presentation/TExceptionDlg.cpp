#include "TExceptionDlg.h"
#include "ui_TExceptionDlg.h"

#include "CLog.h"

#include <QApplication>
#include <QStyle>

namespace {
constexpr int kCategoryExceptionDlg = 30;
}

TExceptionDlg* TExceptionDlg::s_instance = nullptr;

TExceptionDlg::TExceptionDlg(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), ui(new Ui::TExceptionDlg)
{
    ui->setupUi(this);
    ui->imgGlyph->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxCritical).pixmap(32, 32));
    connect(ui->btnDismiss, &QPushButton::clicked, this, &QDialog::accept);
    if (!s_instance)
        s_instance = this;
}

TExceptionDlg::~TExceptionDlg()
{
    if (s_instance == this)
        s_instance = nullptr;
    delete ui;
}

TExceptionDlg* TExceptionDlg::GetInstance()
{
    if (!s_instance)
        new TExceptionDlg(nullptr);
    return s_instance;
}

void TExceptionDlg::Release()
{
    delete s_instance;
}

void TExceptionDlg::ShowExceptionDlg(const char* context, const CClientExc* exc)
{
    if (exc)
        m_lastExc = exc->Clone();
    const std::string cause =
        m_lastExc ? m_lastExc->GetDisplayText() : std::string("Unknown exception type!");
    ui->memoExcDesc->setPlainText(QString::fromStdString(cause));
    const char* heading = context ? context : "Caught Exception in client:";
    ui->lbExc->setText(QString::fromUtf8(heading));

    CLog::SetLevels(kCategoryExceptionDlg, 0xFF);
    CLog::Error(kCategoryExceptionDlg, "TExceptionDlg::ShowExceptionDlg: CONTEXT: %s\n", heading);
    CLog::Error(kCategoryExceptionDlg, "TExceptionDlg::ShowExceptionDlg: CAUSE: %s\n", cause.c_str());

    // Over the centre of the main window.
    if (QWidget* main = QApplication::activeWindow(); main && main != this)
        move(main->geometry().center() - rect().center());
    exec();
}
