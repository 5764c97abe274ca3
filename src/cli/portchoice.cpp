#include "cli/portchoice.h"

#include "module/moduleengine.h"
#include "serial/settingsstore.h"

#include <QFileInfo>

#include <algorithm>

namespace korva::cli
{

std::variant<PortChoice, QString> choosePort(const CliOptions &options, ModuleEngine &engine)
{
    const LoadedPortSettings stored = loadPortSettings();
    PortChoice choice;
    choice.port = options.port;
    if (choice.port.isEmpty()) {
        if (!stored.portStored)
            return QStringLiteral("no port given and none stored by the window: use --port "
                                  "N|PATH (korva-cli ports lists them)");
        choice.port = stored.settings.port;
    }
    const QString baud = options.baud.isEmpty() ? stored.settings.baud : options.baud;
    if (auto refused = engine.setLineRate(baud))
        return QStringLiteral("the baud rate \"%1\" cannot be used: %2")
            .arg(baud, refused->description);
    choice.baud = baud.trimmed().toInt();
    choice.byNumber = !choice.port.isEmpty() && std::all_of(choice.port.begin(), choice.port.end(),
                                                            [](QChar c) { return c.isDigit(); });
    if (choice.port.contains(u'/') && !choice.port.startsWith(u'/'))
        choice.port = QFileInfo(choice.port).absoluteFilePath();
    return choice;
}

} // namespace korva::cli
