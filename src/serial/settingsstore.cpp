#include "serial/settingsstore.h"

#include "config/displaytext.h"
#include "serial/portmap.h"

#include <QDir>
#include <QSettings>

namespace korva
{

namespace
{

constexpr auto kGroup = "Settings";
constexpr auto kPortKey = "Port";
constexpr auto kBaudKey = "BAUD";

} // namespace

LoadedPortSettings loadPortSettings()
{
    QSettings store(QSettings::IniFormat, QSettings::UserScope, kSettingsOrganization,
                    kSettingsApplication);
    store.beginGroup(kGroup);
    LoadedPortSettings loaded{{store.value(kPortKey, QStringLiteral("1")).toString(),
                               store.value(kBaudKey, QStringLiteral("38400")).toString()},
                              store.contains(kPortKey),
                              store.contains(kBaudKey),
                              {}};
    const QString path =
        shortenedForDisplay(QDir::toNativeSeparators(store.fileName()), kShownPathLength);
    if (store.status() == QSettings::AccessError)
        loaded.problem = QStringLiteral("settings file %1 could not be read").arg(path);
    else if (store.status() == QSettings::FormatError)
        loaded.problem = QStringLiteral("settings file %1 is damaged").arg(path);
    return loaded;
}

QString savePortSettings(const PortSettings &settings)
{
    QSettings store(QSettings::IniFormat, QSettings::UserScope, kSettingsOrganization,
                    kSettingsApplication);
    // Writing rewrites the whole file in QSettings' own form, which would turn a
    // [Ports] path written by hand into another path (a comma into a list, a
    // semicolon into a comment): set each entry to what it names, or to its text
    // as written, so that it reads the same afterwards.
    for (const PortEntry &entry : readPortEntries(store.fileName())) {
        const QString key = QStringLiteral("%1/%2").arg(QLatin1String(kPortsGroup), entry.key);
        const QString exact = entry.path.value_or(entry.text);
        if (store.value(key) != QVariant(exact))
            store.setValue(key, exact);
    }
    store.beginGroup(kGroup);
    if (!settings.port.trimmed().isEmpty())
        store.setValue(kPortKey, settings.port);
    if (!settings.baud.trimmed().isEmpty())
        store.setValue(kBaudKey, settings.baud);
    store.sync();
    // A damaged file is rewritten whole; only a refused write loses the texts.
    if (store.status() == QSettings::AccessError)
        return QStringLiteral("The port and baud rate could not be saved: the settings file %1 "
                              "is not writable.")
            .arg(shortenedForDisplay(QDir::toNativeSeparators(store.fileName()), kShownPathLength));
    return {};
}

} // namespace korva
