#include "TrayIcon.h"

#include "CWindowMessageEvent.h"
#include "WindowMessages.h"

#include <QCoreApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>

namespace {
const char* const kTrayIconName = "trayIcon0";
}

QSystemTrayIcon* AddTrayIcon(QWidget* window, const QIcon& icon, unsigned callbackMessage, const char* tip,
                             QMenu* contextMenu)
{
    if (!window)
        return nullptr;
    auto* tray = new QSystemTrayIcon(icon, window);
    tray->setObjectName(QString::fromLatin1(kTrayIconName));
    tray->setToolTip(QString::fromUtf8(tip ? tip : "").left(127));
    tray->setContextMenu(contextMenu);
    QObject::connect(tray, &QSystemTrayIcon::activated, window,
                     [window, callbackMessage](QSystemTrayIcon::ActivationReason reason) {
                         long mouse = 0;
                         switch (reason) {
                         // Most Linux trays report a single click only; it opens
                         // the window like the double click does.
                         case QSystemTrayIcon::Trigger:
                         case QSystemTrayIcon::DoubleClick: mouse = WM_LBUTTONDBLCLK_Msg; break;
                         case QSystemTrayIcon::Context: mouse = WM_RBUTTONUP_Msg; break;
                         default: return;
                         }
                         QCoreApplication::postEvent(window, new CWindowMessageEvent(callbackMessage, mouse));
                     });
    tray->show();
    return tray;
}

void RemoveTrayIcon(QWidget* window)
{
    if (!window)
        return;
    delete window->findChild<QSystemTrayIcon*>(QString::fromLatin1(kTrayIconName),
                                               Qt::FindDirectChildrenOnly);
}
