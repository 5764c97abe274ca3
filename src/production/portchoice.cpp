#include "production/portchoice.h"

#include "config/displaytext.h"
#include "module/moduleengine.h"
#include "serial/settingsstore.h"

#include <QFileInfo>

#include <algorithm>

namespace korva::production
{

namespace
{

const QString kStored = QStringLiteral("the stored setting");

bool isNumber(const QString &port)
{
    return !port.isEmpty() &&
           std::all_of(port.begin(), port.end(), [](QChar c) { return c.isDigit(); });
}

} // namespace

QString checkPortArgument(const QString &port, const QString &source)
{
    if (port.trimmed().isEmpty())
        return QStringLiteral("the port from %1 is blank: give a port number 1 to %2 or a "
                              "device path")
            .arg(source)
            .arg(kHighestPortNumber);
    if (isNumber(port)) {
        bool ok = false;
        const int number = port.toInt(&ok);
        if (!ok || number < 1 || number > kHighestPortNumber)
            return QStringLiteral("port %1 from %2 is no port number: the numbers are 1 to %3 "
                                  "(korva-cli ports lists them), or give a device path")
                .arg(shortenedForDisplay(port, kShownFieldLength), source)
                .arg(kHighestPortNumber);
    }
    return {};
}

QString PortChoice::describe(const QString &device) const
{
    const QString where =
        byNumber ? (device.isEmpty() ? QStringLiteral("port %1").arg(port)
                                     : QStringLiteral("port %1 (%2)").arg(port, device))
                 : (device.isEmpty() ? port : device);
    return QStringLiteral("%1 from %2, %3 baud from %4")
        .arg(where, portSource)
        .arg(baud)
        .arg(baudSource);
}

std::variant<PortChoice, QString> choosePort(const QString &port, const QString &baud,
                                             ModuleEngine &engine)
{
    const LoadedPortSettings stored = loadPortSettings();
    PortChoice choice;
    choice.port = port;
    choice.portSource = QStringLiteral("--port");
    if (choice.port.isEmpty()) {
        if (!stored.portStored)
            return QStringLiteral("no port given and none stored by the window: use --port "
                                  "N|PATH (korva-cli ports lists them)");
        choice.port = stored.settings.port;
        choice.portSource = kStored;
    }
    if (const QString refused = checkPortArgument(choice.port, choice.portSource);
        !refused.isEmpty())
        return refused;
    QString rate = baud;
    choice.baudSource = QStringLiteral("--baud");
    if (rate.isEmpty()) {
        rate = stored.settings.baud;
        choice.baudSource = stored.baudStored ? kStored : QStringLiteral("the default");
    }
    if (auto refused = engine.setLineRate(rate))
        return QStringLiteral("the baud rate \"%1\" from %2 cannot be used: %3")
            .arg(rate, choice.baudSource, refused->description);
    choice.baud = rate.trimmed().toInt();
    choice.byNumber = isNumber(choice.port);
    if (choice.port.contains(u'/') && !choice.port.startsWith(u'/'))
        choice.port = QFileInfo(choice.port).absoluteFilePath();
    return choice;
}

} // namespace korva::production
