#pragma once
// Window messages of the desktop application itself; the service's and the
// work queue's (0x8906..0x8915) are in GUIComm.h.

// Tray icon callback; the lParam is the mouse message (WM_LBUTTONDBLCLK,
// WM_RBUTTONUP).
constexpr unsigned CM_NotifyIcon = 0x8904;
constexpr long WM_LBUTTONDBLCLK_Msg = 0x0203;
constexpr long WM_RBUTTONUP_Msg = 0x0205;

// Posted by the IP address monitor with lParam 0 after each change.
constexpr unsigned CM_IPAddrChanged = 0x8916;
