#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>

#include <optional>

namespace korva::production
{

// What became of an address the ledger issued. Only a reserved or sent address
// can be released, and only when its packet never left.
enum class AddressState { Reserved, Sent, Passed, Failed, Released };
constexpr int kAddressStates = 5;

QString stateName(AddressState state); // "reserved", ...
std::optional<AddressState> stateFromName(const QString &name);

struct FieldDifference {
    QString key, expected, actual;
};

// The start record of a run. `started` is stamped by the ledger when left null.
struct RunStart {
    QString station, host, operatorName, toolVersion, profileName, profileSha256, range, ports,
        band;
    QString order; // an order or lot name; empty: none given
    int baud = 0;
    QDateTime started;

    QJsonObject toJson(qint64 runId) const; // "type":"run-start"
};

// The end record of a run. `ended` is stamped by the ledger when left null.
struct RunEnd {
    QString how;
    int written = 0, passed = 0, failed = 0, alreadyProvisioned = 0;
    std::optional<quint32> nextFree;
    QDateTime ended;

    QJsonObject toJson(qint64 runId) const; // "type":"run-end"
};

// What happened to one unit, for an audit.
struct UnitRecord {
    qint64 runId = 0;
    int sequence = 0; // the unit's number in its run, unique in the run
    int slot = 0;
    QDateTime started, ended; // with offset from UTC
    QString device, adapterSerial, adapterLocation;
    QByteArray before, packet, readBack; // raw blocks (hex in the JSON)
    bool packetLeft = false;
    std::optional<quint32> address; // the local address given or found
    // The address's state in the ledger once this unit is done; none when the
    // address is not the ledger's (the profile's own address kept).
    std::optional<AddressState> addressState;
    QString result; // "passed", "failed", "already-provisioned"
    QList<FieldDifference> differences;
    QString errorClass, error; // e.g. "port-lost", "no-read-back", "foreign-read-back", "stopped"
    int writes = 0;
    // The profile was written again under the address the ledger holds for
    // this unit as passed: no address was taken.
    bool reprovision = false;
    // Its run's, so that a record stands on its own in an audit or a label.
    QString station, operatorName, profileName, profileSha256, toolVersion, order;

    // Takes the station, operator, profile, tool version and order of the unit's run.
    void takeRun(const RunStart &run);
    // The --log line and the export record, with "type":"unit".
    QJsonObject toJson() const;
};

struct PassedRecord {
    quint32 address;
    QDateTime when;
    QString station;
    qint64 runId;
};

// Why a name given for the records (a station, an operator) is refused: a
// control character or a line break would break every table and log line it
// appears in, and a character that was not valid UTF-8 would be stored lossily
// (it reaches us as U+FFFD). Empty when it is fine.
QString nameRefusal(const QString &name);

// ISO 8601 with milliseconds and the offset from UTC, as the records hold times.
QString timeText(const QDateTime &time);
// Now, with the local offset from UTC.
QDateTime currentTime();

} // namespace korva::production

Q_DECLARE_METATYPE(korva::production::UnitRecord)
