#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

namespace korva::production
{

// A field the unit does not hold as written.
struct FieldDifferenceText {
    QString key;
    QString expected;
    QString actual;
};

// What became of one unit: the line printed for it and appended to the log.
struct UnitReport {
    int sequence = 0; // the unit's number in the run, over all slots
    int slot = 0;
    QDateTime started;
    QDateTime ended;
    QString device;
    QByteArray before;   // the block the unit held when it was found
    QByteArray packet;   // the last packet that left, empty when none did
    QByteArray readBack; // the block read back after it
    bool packetLeft = false;
    QString localAddress; // the address written, eight hex digits
    int writes = 0;       // packets that left
    QList<FieldDifferenceText> differences;
    QString errorClass; // "port-lost", "no-read-back", "foreign-read-back", ... empty when passed
    QString error;

    bool passed() const { return errorClass.isEmpty() && differences.isEmpty(); }
    // One JSON object on one line, with its newline.
    QByteArray jsonLine() const;
};

} // namespace korva::production
