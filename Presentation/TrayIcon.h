#pragma once
// The notification-area icon of a window. Mouse events on the icon reach the
// window as its callback message with the mouse message in the lParam.

#include <QIcon>

class QMenu;
class QSystemTrayIcon;
class QWidget;

// Adds and shows the icon (id 0 of the window) with its right-click menu, which the
// desktop's tray shows itself (StatusNotifierItem trays only show a menu handed to the
// icon). A click or a double click reaches the window as WM_LBUTTONDBLCLK; a right click
// as WM_RBUTTONUP, after the tray has shown the menu. The icon is made even where no
// tray is running yet, so that it appears when one starts. The tip is cut to 127 characters.
QSystemTrayIcon* AddTrayIcon(QWidget* window, const QIcon& icon, unsigned callbackMessage, const char* tip,
                             QMenu* contextMenu);

// Removes the window's icon, if it has one.
void RemoveTrayIcon(QWidget* window);
