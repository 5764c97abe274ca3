#pragma once

#include "moduleemulator.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QStringList>

// The unit records among JSON lines (provision's stdout, its log, a ledger export).
inline QList<QJsonObject> unitRecords(const QByteArray &lines)
{
    QList<QJsonObject> units;
    for (const QByteArray &line : lines.split('\n')) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        if (record.value("type") == "unit")
            units << record;
    }
    return units;
}

// Each unit as "address|result|what failed|writes"; what failed is the error
// class, or each differing field as "key:expected>actual".
inline QStringList summarise(const QByteArray &lines)
{
    QStringList units;
    for (const QJsonObject &unit : unitRecords(lines)) {
        QStringList failed;
        for (const QJsonValue &value : unit.value("differences").toArray()) {
            const QJsonObject difference = value.toObject();
            failed << difference.value("key").toString() + ":" +
                          difference.value("expected").toString() + ">" +
                          difference.value("actual").toString();
        }
        if (!unit.value("error-class").toString().isEmpty())
            failed = QStringList{unit.value("error-class").toString()};
        units << QStringLiteral("%1|%2|%3|%4")
                     .arg(unit.value("address").toString(), unit.value("result").toString(),
                          failed.join(u','))
                     .arg(unit.value("writes").toInt());
    }
    return units;
}

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
