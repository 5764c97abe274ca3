#pragma once

#include <QString>
#include <QVariant>

namespace korva::emu
{

// Makes a device the tool's port number N for as long as it lives, through the
// tool's own settings store (group "Ports"). Whatever the key held before is
// put back afterwards, unless someone else has changed the key meanwhile.
class PortRegistration
{
public:
    PortRegistration(int port, const QString &device);
    ~PortRegistration();
    PortRegistration(const PortRegistration &) = delete;
    PortRegistration &operator=(const PortRegistration &) = delete;

    bool isRegistered() const { return m_registered; }
    QString errorString() const { return m_error; }

    static QString settingsKey(int port);

private:
    int m_port = 0;
    QString m_device;
    QVariant m_previous;
    bool m_registered = false;
    QString m_error;
};

} // namespace korva::emu
