#pragma once

#include "serial/portmap.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QtGlobal>

namespace korva::test
{

inline QSettings store()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, kSettingsOrganization,
                     kSettingsApplication);
}

// Run outside CTest, the store would be the user's own: point it at a scratch folder.
inline void sandboxStore(QTemporaryDir &scratch)
{
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME"))
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(scratch.path()));
}

inline void clearStore()
{
    QSettings settings = store();
    settings.clear();
    settings.sync();
}

inline void registerPort(int number, const QString &path)
{
    QSettings settings = store();
    settings.setValue(QStringLiteral("%1/%2").arg(QLatin1String(kPortsGroup)).arg(number), path);
    settings.sync();
}

} // namespace korva::test
