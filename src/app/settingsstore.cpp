#include "app/settingsstore.h"

#include "serial/portmap.h"

#include <QSettings>

namespace korva
{

namespace
{

constexpr auto kGroup = "Settings";
constexpr auto kPortKey = "Port";
constexpr auto kBaudKey = "BAUD";

} // namespace

PortSettings loadPortSettings()
{
    QSettings store(QSettings::IniFormat, QSettings::UserScope, kSettingsOrganization,
                    kSettingsApplication);
    store.beginGroup(kGroup);
    return {store.value(kPortKey, QStringLiteral("1")).toString(),
            store.value(kBaudKey, QStringLiteral("38400")).toString()};
}

void savePortSettings(const PortSettings &settings)
{
    QSettings store(QSettings::IniFormat, QSettings::UserScope, kSettingsOrganization,
                    kSettingsApplication);
    store.beginGroup(kGroup);
    if (!settings.port.trimmed().isEmpty())
        store.setValue(kPortKey, settings.port);
    if (!settings.baud.trimmed().isEmpty())
        store.setValue(kBaudKey, settings.baud);
}

} // namespace korva
