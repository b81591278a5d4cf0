#pragma once
// Desktop notifications of the main window: a message through the tray icon when something
// failed or a server went quiet, and the tray icon's warning look while any server is quiet.
// Where the desktop has no tray that shows messages, the message goes to the freedesktop
// notification service on the session bus; without one it is in the debug log only.

#include <QIcon>
#include <QObject>
#include <QString>

class QSystemTrayIcon;
class QWidget;

class CDesktopNotifier : public QObject {
    Q_OBJECT

public:
    // Uses the tray icon of the window (if it has one) and the window's icon.
    explicit CDesktopNotifier(QWidget* window);

    void Notify(const QString& title, const QString& text, bool warning);
    // Switches the tray icon and its tip between the normal and the warning look.
    void SetWarning(bool warning, const QString& tip);

    bool IsWarning() const { return m_warning; }
    const QIcon& CurrentIcon() const { return m_warning ? m_warningIcon : m_normalIcon; }
    const QString& CurrentTip() const { return m_tip; }
    // The window's icon with a warning badge.
    static QIcon WarningIcon(const QIcon& base);

signals:
    // Emitted for every message, whether or not a tray shows it.
    void Notified(const QString& title, const QString& text, bool warning);

private:
    QSystemTrayIcon* Tray() const;
    // Sends the message to the session bus's notification service; false without a bus.
    static bool NotifyOnSessionBus(const QString& title, const QString& text, bool warning);

    QWidget* m_window;
    QIcon m_normalIcon;
    QIcon m_warningIcon;
    QString m_tip;
    bool m_warning = false;
};
