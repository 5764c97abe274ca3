#include "portregistration.h"

#include <QSettings>

namespace korva::emu
{

PortRegistration::PortRegistration(int port, const QString &device) : m_port(port), m_device(device)
{
    if (port <= 0)
        return;
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("KORVA"),
                       QStringLiteral("KORVA"));
    m_previous = settings.value(settingsKey(port));
    settings.setValue(settingsKey(port), device);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        m_error = QStringLiteral("cannot write the settings file %1").arg(settings.fileName());
        return;
    }
    m_registered = true;
}

PortRegistration::~PortRegistration()
{
    if (!m_registered)
        return;
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("KORVA"),
                       QStringLiteral("KORVA"));
    if (settings.value(settingsKey(m_port)).toString() != m_device)
        return;
    if (m_previous.isValid())
        settings.setValue(settingsKey(m_port), m_previous);
    else
        settings.remove(settingsKey(m_port));
}

QString PortRegistration::settingsKey(int port)
{
    return QStringLiteral("Ports/%1").arg(port);
}

} // namespace korva::emu
