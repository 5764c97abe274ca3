#pragma once

#include "serial/portmap.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>

// The per-user settings store of the test run (XDG_CONFIG_HOME is set per test).
inline QString settingsFilePath()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, korva::kSettingsOrganization,
                     korva::kSettingsApplication)
        .fileName();
}

inline void removeSettingsFile()
{
    QFile::remove(settingsFilePath());
}

// Maps a Comm Port number to a device path, as a user's [Ports] entry would.
inline void mapPort(int number, const QString &path)
{
    QSettings store(QSettings::IniFormat, QSettings::UserScope, korva::kSettingsOrganization,
                    korva::kSettingsApplication);
    store.setValue(QStringLiteral("Ports/%1").arg(number), path);
}
