#pragma once
// The notification-area icon of a window. Mouse events on the icon reach the
// window as its callback message with the mouse message in the lParam.

#include <QIcon>

class QSystemTrayIcon;
class QWidget;

// Adds and shows the icon (id 0 of the window); null where the desktop has
// no notification area. The tip is cut to 127 characters.
QSystemTrayIcon *AddTrayIcon(QWidget *window, const QIcon &icon, unsigned callbackMessage,
                             const char *tip);

// Removes the window's icon, if it has one.
void RemoveTrayIcon(QWidget *window);
