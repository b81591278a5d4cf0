#include "TServersForm.h"
#include "ui_TServersForm.h"

#include "CServerSummary.h"
#include "CStaleServerMonitor.h"
#include "CTimeUtil.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QHeaderView>
#include <QLocale>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>

namespace {

// Orders by the sort key, so dates and sizes sort as numbers whatever their text.
class SortedItem : public QTableWidgetItem {
public:
    SortedItem(const QString& text, const QVariant& key) : QTableWidgetItem(text)
    {
        setData(TServersForm::SortRole, key);
    }
    bool operator<(const QTableWidgetItem& other) const override
    {
        const QVariant a = data(TServersForm::SortRole), b = other.data(TServersForm::SortRole);
        if (a.typeId() == QMetaType::QString || b.typeId() == QMetaType::QString)
            return a.toString() < b.toString();
        return a.toLongLong() < b.toLongLong();
    }
};

QString DateText(const TServerSummary& s)
{
    if (s.backupCount == 0)
        return QStringLiteral("Never");
    std::string text;
    CTimeUtil(CTimeUtil::ToLocal(s.lastBackupDate)).ToDisplayString(text);
    return QString::fromStdString(text);
}

QString WarnText(int days)
{
    return days == 0 ? QStringLiteral("Never")
                     : QStringLiteral("%1 %2").arg(days).arg(days == 1 ? "day" : "days");
}

} // namespace

TServersForm::TServersForm(CStaleServerMonitor* monitor, QWidget* owner)
    : QDialog(owner), ui(new Ui::TServersForm), m_monitor(monitor)
{
    ui->setupUi(this);
    ui->tblServers->setColumnCount(ColCount);
    ui->tblServers->verticalHeader()->setVisible(false);
    ui->tblServers->horizontalHeader()->setStretchLastSection(true);
    ui->tblServers->sortByColumn(ColServerID, Qt::AscendingOrder);
    ui->udWarnDays->setEnabled(false);
    connect(ui->tblServers, &QTableWidget::itemSelectionChanged, this,
            &TServersForm::tblServersSelectionChanged);
    connect(ui->udWarnDays, &QSpinBox::valueChanged, this, &TServersForm::udWarnDaysChanged);
    connect(ui->btnRefresh, &QPushButton::clicked, this, &TServersForm::btnRefreshClick);
    connect(ui->btnClose, &QPushButton::clicked, this, &QDialog::close);
    if (m_monitor)
        connect(m_monitor, &CStaleServerMonitor::Checked, this, &TServersForm::Refresh);
}

TServersForm::~TServersForm()
{
    delete ui;
}

void TServersForm::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    FormShow();
}

void TServersForm::FormShow()
{
    setWindowTitle(QStringLiteral("Servers"));
    ui->tblServers->setHorizontalHeaderLabels({QStringLiteral("Server ID"), QStringLiteral("Name"),
                                               QStringLiteral("Last Backup"), QStringLiteral("Backups"),
                                               QStringLiteral("Size on Disk"), QStringLiteral("State"),
                                               QStringLiteral("Warn After")});
    ui->lbWarnDays->setText(QStringLiteral("Warn when no backup for:"));
    ui->udWarnDays->setSuffix(QStringLiteral(" days"));
    ui->udWarnDays->setSpecialValueText(QStringLiteral("Never"));
    ui->btnRefresh->setText(QStringLiteral("Refresh"));
    ui->btnClose->setText(QStringLiteral("Close"));
}

std::string TServersForm::SelectedServer() const
{
    const QList<QTableWidgetItem*> items = ui->tblServers->selectedItems();
    for (QTableWidgetItem* item : items)
        if (item->column() == ColServerID)
            return item->text().toStdString();
    return std::string();
}

void TServersForm::Refresh()
{
    if (!m_monitor)
        return;
    QTableWidget* table = ui->tblServers;
    const std::string selected = SelectedServer();
    m_filling = true;
    // Rows are placed unsorted, then sorted once by the column the user chose.
    table->setSortingEnabled(false);
    table->clearContents();
    const std::vector<TServerSummary>& servers = m_monitor->Summaries();
    table->setRowCount(static_cast<int>(servers.size()));
    const QLocale numbers = QLocale::c();
    int row = 0;
    for (const TServerSummary& s : servers) {
        const int days = m_monitor->WarnDaysOf(s.serverID);
        const CServerSummary::EState state = m_monitor->StateOf(s);
        const QString id = QString::fromStdString(s.serverID);
        QTableWidgetItem* cells[ColCount] = {
            new SortedItem(id, id),
            new SortedItem(QString::fromStdString(s.serverName), QString::fromStdString(s.serverName)),
            // A server without backups sorts before every dated one.
            new SortedItem(DateText(s), s.backupCount ? qint64(s.lastBackupDate) : qint64(-1)),
            new SortedItem(QString::number(s.backupCount), qint64(s.backupCount)),
            new SortedItem(numbers.formattedDataSize(qint64(s.diskBytes), 1, QLocale::DataSizeIecFormat),
                           qint64(s.diskBytes)),
            new SortedItem(QString::fromStdString(CServerSummary::StateText(state, days)), int(state)),
            new SortedItem(WarnText(days), qint64(days)),
        };
        cells[ColSize]->setToolTip(QStringLiteral("%1 bytes").arg(s.diskBytes));
        cells[ColBackups]->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        cells[ColSize]->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        for (int col = 0; col < ColCount; ++col) {
            if (state == CServerSummary::StateOverdue) {
                // The row of a quiet server stands out.
                cells[col]->setBackground(QBrush(QColor(0xFF, 0xD8, 0xA8)));
                QFont font = cells[col]->font();
                font.setBold(true);
                cells[col]->setFont(font);
            }
            table->setItem(row, col, cells[col]);
        }
        ++row;
    }
    table->setSortingEnabled(true);
    table->resizeColumnsToContents();
    for (int r = 0; r < table->rowCount(); ++r) {
        if (table->item(r, ColServerID)->text().toStdString() == selected) {
            table->selectRow(r);
            break;
        }
    }
    m_filling = false;
    tblServersSelectionChanged();
}

void TServersForm::tblServersSelectionChanged()
{
    if (m_filling || !m_monitor)
        return;
    const std::string server = SelectedServer();
    ui->udWarnDays->setEnabled(!server.empty());
    if (server.empty())
        return;
    const QSignalBlocker block(ui->udWarnDays);
    ui->udWarnDays->setValue(m_monitor->WarnDaysOf(server));
}

void TServersForm::udWarnDaysChanged(int days)
{
    const std::string server = SelectedServer();
    if (m_filling || !m_monitor || server.empty() || days == m_monitor->WarnDaysOf(server))
        return;
    // Saved at once, like every other setting; the check that follows refills the table.
    m_monitor->SetWarnDays(server, days);
}

void TServersForm::btnRefreshClick()
{
    if (m_monitor)
        m_monitor->Check();
}
