#pragma once

#include "moduleemulator.h"

// What the tool wrote, burst by burst.
inline QList<korva::emu::WireBurst> sentBursts(const korva::emu::ModuleEmulator &emulator)
{
    QList<korva::emu::WireBurst> result;
    for (const korva::emu::WireBurst &burst : emulator.bursts())
        if (burst.direction == korva::emu::WireByte::Direction::ToModule)
            result << burst;
    return result;
}

// Whether the module's side saw at least ms between two bursts. Its thread stamps a byte
// when it reads it, which on a busy machine can be a millisecond or two late.
inline bool gapAtLeast(const korva::emu::WireBurst &before, const korva::emu::WireBurst &after,
                       int ms)
{
    return after.firstUsec - before.lastUsec >= ms * 1000 - 2000;
}

inline QList<QByteArray> bytesOf(const QList<korva::emu::WireBurst> &bursts)
{
    QList<QByteArray> result;
    for (const korva::emu::WireBurst &burst : bursts)
        result << burst.bytes;
    return result;
}

inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}
