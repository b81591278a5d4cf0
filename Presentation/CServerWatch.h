#pragma once
// What the main window adds to tell the user about servers and failures without being
// looked at: the "Servers..." menu item and its view, the check for servers that went quiet
// (after each backup, restore, delete, import and on a timer), and the desktop
// notifications for quiet servers and for every failure the service or the work queue
// reports. The window passes each notification through Observe before handling it.

#include <QObject>

#include <cstdint>
#include <functional>
#include <string>

class CBFMRepository;
class CDesktopNotifier;
class CStaleServerMonitor;
class QAction;
class QMenu;
class QWidget;
class TServersForm;

class CServerWatch : public QObject {
    Q_OBJECT

public:
    using RepositorySource = std::function<CBFMRepository*()>;

    static constexpr int kCheckIntervalMs = 30 * 60 * 1000;

    // Adds "Servers..." to menu; owned by window. Checks run only between Start and Stop.
    CServerWatch(QWidget* window, QMenu* menu, RepositorySource repository);

    // Show handler, once the repository is open: first check and the periodic checks.
    void Start(const std::string& configPath);
    // Close handler, before the repository goes.
    void Stop();

    // A notification as posted, before the window handles (and frees) it.
    void Observe(unsigned message, std::intptr_t lParam);
    // The backups on disk changed by the window's own hand (delete, a new folder).
    void RepositoryChanged();

    CStaleServerMonitor* Monitor() const { return m_monitor; }
    CDesktopNotifier* Notifier() const { return m_notifier; }
    TServersForm* ServersForm() const { return m_form; }
    QAction* ServersAction() const { return m_action; }

public slots:
    void ShowServers();

private:
    void QueueCheck();

    QWidget* m_window;
    RepositorySource m_repository;
    QAction* m_action = nullptr;
    CDesktopNotifier* m_notifier = nullptr;
    CStaleServerMonitor* m_monitor = nullptr;
    TServersForm* m_form = nullptr;
    bool m_started = false;
    bool m_checkQueued = false;
};
