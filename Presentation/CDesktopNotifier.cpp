#include "CDesktopNotifier.h"

#include "CLog.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QWidget>

namespace {
constexpr int kCategoryApp = 31;
constexpr int kMessageMs = 15000;
// The tray tip holds at most 127 characters.
constexpr int kMaxTip = 127;
const char* const kTrayIconName = "trayIcon0";
const char* const kDefaultTip = "Harborlock";
} // namespace

CDesktopNotifier::CDesktopNotifier(QWidget* window)
    : QObject(window), m_window(window), m_normalIcon(window ? window->windowIcon() : QIcon()),
      m_warningIcon(WarningIcon(m_normalIcon)), m_tip(QString::fromLatin1(kDefaultTip))
{}

QSystemTrayIcon* CDesktopNotifier::Tray() const
{
    return m_window ? m_window->findChild<QSystemTrayIcon*>(QString::fromLatin1(kTrayIconName),
                                                            Qt::FindDirectChildrenOnly)
                    : nullptr;
}

void CDesktopNotifier::Notify(const QString& title, const QString& text, bool warning)
{
    const QString oneLine = QString(text).replace(QLatin1Char('\n'), QLatin1Char(' '));
    CLog::Debug(kCategoryApp, "CDesktopNotifier::Notify(): %s: %s\n", title.toUtf8().constData(),
                oneLine.toUtf8().constData());
    if (QSystemTrayIcon* tray = Tray(); tray && QSystemTrayIcon::supportsMessages())
        tray->showMessage(title, text, warning ? QSystemTrayIcon::Warning : QSystemTrayIcon::Critical,
                          kMessageMs);
    else
        NotifyOnSessionBus(title, text, warning);
    emit Notified(title, text, warning);
}

void CDesktopNotifier::SetWarning(bool warning, const QString& tip)
{
    m_warning = warning;
    m_tip = (warning && !tip.isEmpty() ? tip : QString::fromLatin1(kDefaultTip)).left(kMaxTip);
    if (QSystemTrayIcon* tray = Tray()) {
        tray->setIcon(CurrentIcon());
        tray->setToolTip(m_tip);
    }
}

bool CDesktopNotifier::NotifyOnSessionBus(const QString& title, const QString& text, bool warning)
{
    const QString service = QStringLiteral("org.freedesktop.Notifications");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        service, QStringLiteral("/org/freedesktop/Notifications"), service, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(warning ? 1 : 2)));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("harborlock"));
    call << QStringLiteral("Harborlock") << uint(0) << QStringLiteral("harborlock") << title << text
         << QStringList() << hints << int(kMessageMs);
    // Not waited for: the window thread must not stall on the bus. A service that is only
    // activatable is started by the bus on this call.
    return bus.send(call);
}

QIcon CDesktopNotifier::WarningIcon(const QIcon& base)
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        base.paint(&painter, 0, 0, size, size);
        // A filled amber disc with an exclamation mark in the lower right corner.
        const qreal d = size * 0.55;
        const QRectF badge(size - d, size - d, d, d);
        painter.setPen(QPen(Qt::white, qMax(1.0, size / 24.0)));
        painter.setBrush(QColor(0xE0, 0x80, 0x00));
        painter.drawEllipse(badge.adjusted(0.5, 0.5, -0.5, -0.5));
        QFont font = painter.font();
        font.setBold(true);
        font.setPixelSize(qMax(6, int(d * 0.8)));
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(badge, Qt::AlignCenter, QStringLiteral("!"));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}
