#include "CServerWatch.h"

#include "CDesktopNotifier.h"
#include "CStaleServerMonitor.h"
#include "GUIComm.h"
#include "TServersForm.h"
#include "WindowMessages.h"

#include <QAction>
#include <QMenu>
#include <QTimer>
#include <QWidget>

#include <utility>

CServerWatch::CServerWatch(QWidget* window, QMenu* menu, RepositorySource repository)
    : QObject(window), m_window(window), m_repository(std::move(repository))
{
    m_notifier = new CDesktopNotifier(window);
    m_action = new QAction(QStringLiteral("Servers..."), this);
    m_action->setObjectName(QStringLiteral("menuitemServers"));
    if (menu) {
        menu->addSeparator();
        menu->addAction(m_action);
    }
    connect(m_action, &QAction::triggered, this, &CServerWatch::ShowServers);

    m_monitor = new CStaleServerMonitor(m_repository, this);
    connect(m_monitor, &CStaleServerMonitor::ServersWentQuiet, this, [this](const QStringList& lines) {
        m_notifier->Notify(QStringLiteral("Harborlock: no recent backup"), lines.join(QLatin1Char('\n')),
                           true);
    });
    connect(m_monitor, &CStaleServerMonitor::QuietChanged, m_notifier, &CDesktopNotifier::SetWarning);
}

void CServerWatch::Start(const std::string& configPath)
{
    m_monitor->SetConfigPath(configPath);
    m_started = true;
    m_monitor->Check();
    m_monitor->Start(kCheckIntervalMs);
}

void CServerWatch::Stop()
{
    if (m_form)
        m_form->close();
    m_monitor->Stop();
    m_started = false;
    m_checkQueued = false;
}

void CServerWatch::Observe(unsigned message, std::intptr_t lParam)
{
    switch (message) {
    case CM_HLKError:
    case CM_HLKServiceFailed:
        // Every failed backup, merge, restore, export and import reports its cause this way
        // before (or instead of) its "failed" line.
        m_notifier->Notify(QStringLiteral("Harborlock"),
                           QString::fromUtf8(GUIComm::ErrorText(static_cast<int>(lParam & 0xFF))), false);
        break;
    case CM_HLKSaveBackupDone:
    case CM_HLKRestoreDone:
    case CM_HLKImportDone: QueueCheck(); break;
    default: break;
    }
}

void CServerWatch::RepositoryChanged()
{
    QueueCheck();
}

void CServerWatch::QueueCheck()
{
    // After the window's own handler has run, and once for a burst of notifications.
    if (!m_started || m_checkQueued)
        return;
    m_checkQueued = true;
    QTimer::singleShot(0, this, [this] {
        if (!m_checkQueued || !m_started)
            return;
        m_checkQueued = false;
        m_monitor->Check();
    });
}

void CServerWatch::ShowServers()
{
    if (!m_started)
        return;
    if (!m_form)
        m_form = new TServersForm(m_monitor, m_window);
    m_monitor->Check();
    m_form->show();
    m_form->raise();
    m_form->activateWindow();
}
