#include "app/qt/DesktopPalette.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QStyle>

namespace tervan::qt {

bool desktopPrefersDark() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return false;
    }
    QDBusMessage read = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"),
        QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.Settings"), QStringLiteral("Read"));
    read << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme");
    // A desktop without the portal must not hold up the start for long.
    const QDBusMessage answer = bus.call(read, QDBus::Block, 500);
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty()) {
        return false;
    }
    // The value comes as a variant, in some portal versions wrapped in a second one.
    QVariant value = answer.arguments().first();
    while (value.canConvert<QDBusVariant>()) {
        value = value.value<QDBusVariant>().variant();
    }
    return value.toUInt() == 1;
}

QPalette darkPalette(const QPalette& from) {
    const QColor window(50, 50, 50);
    const QColor text(230, 230, 230);
    QPalette dark(QColor(60, 60, 60), window);
    dark.setColor(QPalette::WindowText, text);
    dark.setColor(QPalette::Text, text);
    dark.setColor(QPalette::ButtonText, text);
    dark.setColor(QPalette::Base, QColor(35, 35, 35));
    dark.setColor(QPalette::AlternateBase, QColor(45, 45, 45));
    dark.setColor(QPalette::ToolTipBase, window);
    dark.setColor(QPalette::ToolTipText, text);
    dark.setColor(QPalette::Highlight, from.color(QPalette::Active, QPalette::Highlight));
    dark.setColor(QPalette::HighlightedText, QColor(255, 255, 255));
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        dark.setColor(QPalette::Disabled, role, QColor(127, 127, 127));
    }
    return dark;
}

void followDesktopColourScheme() {
    const QPalette current = QApplication::palette();
    if (current.color(QPalette::Window).lightness() < 128 || !desktopPrefersDark()) {
        return;
    }
    QApplication::setPalette(darkPalette(current));
}

}  // namespace tervan::qt
