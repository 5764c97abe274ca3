#pragma once

#include "moduleemulator.h"

#include <QList>

// The local addresses of the packets the tool wrote on one line, in order.
inline QList<quint32> packetAddresses(const korva::emu::ModuleEmulator &emulator)
{
    QList<quint32> addresses;
    for (const korva::emu::WireBurst &burst : emulator.bursts()) {
        if (burst.direction == korva::emu::WireByte::Direction::ToModule &&
            burst.bytes.size() == korva::emu::ModuleEmulator::kConfigSize)
            addresses << burst.bytes.mid(4, 4).toHex().toUInt(nullptr, 16);
    }
    return addresses;
}
