#include "production/slot.h"

#include "module/fields.h"
#include "production/ledgerservice.h"
#include "production/runshared.h"
#include "serial/adapterinfo.h"

namespace korva::production
{

namespace
{

// Quiet time between the read that found a unit and the Set after it, as long
// as Set leaves between its "---" and its read-back.
constexpr int kBetweenOperationsMs = 500;
// A unit that does not hold what was written is written once more.
constexpr int kWritesPerUnit = 2;

const QString kStoppedAfterPacket = QStringLiteral("stopped");
const QString kForeignReadBack = QStringLiteral("foreign-read-back");

// A module that does not take a field keeps its old byte, so every byte of a
// read-back from the unit just written is the packet's or the unit's before
// the write. Any other byte comes from somewhere else.
bool fromAnotherUnit(const QByteArray &readBack, const QByteArray &packet, const QByteArray &before)
{
    const auto byteAt = [](const QByteArray &bytes, qsizetype i) {
        return i < bytes.size() ? std::optional<char>(bytes.at(i)) : std::nullopt;
    };
    for (qsizetype i = 0; i < readBack.size(); ++i) {
        if (readBack.at(i) != byteAt(packet, i) && readBack.at(i) != byteAt(before, i))
            return true;
    }
    return false;
}

quint32 localAddressOf(const QByteArray &block)
{
    return quint32(quint8(block.at(kLocalAddressByte))) << 24 |
           quint32(quint8(block.at(kLocalAddressByte + 1))) << 16 |
           quint32(quint8(block.at(kLocalAddressByte + 2))) << 8 |
           quint32(quint8(block.at(kLocalAddressByte + 3)));
}

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString failureDetail(const UnitRecord &unit)
{
    if (!unit.errorClass.isEmpty())
        return unit.error;
    QStringList fields;
    for (const FieldDifference &difference : unit.differences)
        fields << QStringLiteral("%1: expected %2, got %3")
                      .arg(difference.key, difference.expected, difference.actual);
    return fields.join(QStringLiteral("; "));
}

bool passed(const UnitRecord &unit)
{
    return unit.packetLeft && unit.errorClass.isEmpty() && unit.differences.isEmpty();
}

} // namespace

bool Slot::lookUp(const ReadResult &found, std::optional<PassedRecord> &passedBefore)
{
    const auto looked = m_ledger->passedRecord(localAddressOf(found.block));
    if (!looked.ok()) {
        m_shared.halt(EndReason::RecordFailed, looked.error);
        return false;
    }
    passedBefore = looked.value;
    return true;
}

// The record of a unit just found, with its adapter as the system knows it.
UnitRecord Slot::newUnit(const ReadResult &found) const
{
    UnitRecord unit;
    unit.takeRun(m_shared.settings.start);
    unit.slot = m_number;
    unit.device = deviceName();
    unit.started = currentTime();
    unit.before = found.block;
    const AdapterInfo adapter = adapterInfo(m_engine->port().devicePath());
    unit.adapterSerial = adapter.serialNumber;
    unit.adapterLocation = adapter.location;
    return unit;
}

// A unit the ledger holds as passed is recorded as met again, not written.
void Slot::leaveAlone(const ReadResult &found, const PassedRecord &passedBefore)
{
    UnitRecord unit = newUnit(found);
    unit.ended = unit.started;
    unit.address = passedBefore.address;
    unit.result = QStringLiteral("already-provisioned");
    m_unitAddress = passedBefore.address;
    record(unit, SlotState::AlreadyProvisioned,
           QStringLiteral("on %1 at %2")
               .arg(passedBefore.when.toString(QStringLiteral("yyyy-MM-dd HH:mm")),
                    passedBefore.station));
    m_lastUnit = LastUnit{found.block, {found.block}};
}

bool Slot::takeAddress(UnitAddress &address)
{
    const std::optional<AddressRange> &range = m_shared.settings.range;
    if (!range)
        return true;
    const auto taken = m_ledger->reserve(*range, m_shared.runId, m_shared.settings.start.station);
    if (!taken.ok())
        m_shared.halt(EndReason::RecordFailed, taken.error);
    else if (!taken.value)
        m_shared.haltRangeUsedUp();
    else
        address = UnitAddress{taken.value, true, false};
    return taken.ok() && taken.value;
}

void Slot::giveBack(const UnitAddress &address)
{
    if (!address.reserved)
        return;
    if (const QString failed = m_ledger->release(*address.address); !failed.isEmpty())
        m_shared.halt(EndReason::RecordFailed, failed);
}

void Slot::checkRangeLeft()
{
    const std::optional<AddressRange> &range = m_shared.settings.range;
    if (!range || m_shared.halted())
        return;
    const auto next = m_ledger->nextFree(*range);
    if (!next.ok())
        m_shared.halt(EndReason::RecordFailed, next.error);
    else if (!next.value)
        m_shared.haltRangeUsedUp();
}

UnitRecord Slot::programUnit(const ReadResult &found, const UnitAddress &address)
{
    UnitRecord unit = newUnit(found);
    unit.reprovision = address.reprovision;
    ConfigTexts texts = m_shared.settings.profileOver(found.texts);
    if (address.address)
        setFieldText(texts, Field::LocalAddress, addressText(*address.address));
    bool isHex = false;
    const quint32 written = fieldText(texts, Field::LocalAddress).toUInt(&isHex, 16);
    unit.address = isHex ? std::optional<quint32>(written) : std::nullopt;
    m_unitAddress = unit.address;
    m_engine->setTextsSource([texts] { return texts; });
    while (unit.writes < kWritesPerUnit && writeOnce(unit, found.block, address)) {
    }
    unit.ended = currentTime();
    return unit;
}

// One Set with its read-back; true when the unit holds something else than was
// written and may be written once more.
bool Slot::writeOnce(UnitRecord &unit, const QByteArray &before, const UnitAddress &address)
{
    const auto fail = [&unit](const QString &errorClass, const QString &error) {
        unit.errorClass = errorClass;
        unit.error = error;
        return false;
    };
    idle(kBetweenOperationsMs);
    if (m_shared.halted()) {
        if (unit.packetLeft)
            return false;
        return fail(kNotWritten, QStringLiteral("the run stopped before the unit was written"));
    }
    if (!m_engine->port().portOpen())
        return fail(
            QStringLiteral("port-lost"),
            QStringLiteral("the device went away before the %1write: %2")
                .arg(unit.packetLeft ? QStringLiteral("second ") : QString(), m_lostReason));
    if (address.reserved && unit.writes == 0) {
        if (const QString failed = m_ledger->markSent(*address.address); !failed.isEmpty()) {
            m_shared.halt(EndReason::RecordFailed, failed);
            return fail(kNotWritten, failed);
        }
    }

    report(SlotState::Programming, {}, m_unitAddress);
    const WriteResult written = m_engine->writeConfiguration(m_shared.settings.answerTimeoutMs);
    unit.differences.clear();
    unit.readBack.clear();
    if (!written.packet.isEmpty()) {
        unit.packetLeft = true;
        unit.packet = written.packet;
        ++unit.writes;
    }
    if (written.refused)
        return fail(QStringLiteral("refused"), written.refused->text);
    if (m_engine->portLost() || !m_engine->port().portOpen())
        return fail(QStringLiteral("port-lost"),
                    QStringLiteral("the device failed during the write: %1").arg(m_lostReason));
    if (m_engine->stopRequested()) {
        if (written.packet.isEmpty())
            return fail(kNotWritten, QStringLiteral("the run stopped before the packet was sent"));
        return fail(kStoppedAfterPacket,
                    QStringLiteral("stopped after the packet was sent to the unit on %1: it was "
                                   "not verified")
                        .arg(shownPort()));
    }
    if (written.packet.isEmpty())
        return fail(QStringLiteral("not-sent"),
                    QStringLiteral("the device did not take the packet"));

    const ReadResult &back = written.readBack;
    if (back.outcome != ReadResult::Outcome::Answered || back.block.isEmpty() ||
        !written.mismatches)
        return fail(QStringLiteral("no-read-back"),
                    QStringLiteral("the unit did not answer the read-back: it was not verified"));
    unit.readBack = back.block;
    if (fromAnotherUnit(back.block, written.packet, before))
        return fail(kForeignReadBack,
                    QStringLiteral("the read-back %1 is not from the unit just written (before "
                                   "%2, written %3)")
                        .arg(hexText(back.block), hexText(before), hexText(written.packet)));

    const ConfigTexts expected = decodeBlock(written.packet, m_shared.settings.band, {}).texts;
    QList<Field> differing;
    for (const FieldMismatch &mismatch : *written.mismatches) {
        const Field field = fieldOfPageField(mismatch.field);
        if (differing.contains(field))
            continue;
        differing << field;
        unit.differences << FieldDifference{fieldKey(field), fieldText(expected, field),
                                            fieldText(back.texts, field)};
    }
    return !unit.differences.isEmpty();
}

// Brings the unit's address to its outcome in the ledger with the unit's
// record, and remembers what the unit holds, so it is known again while it is
// attached.
void Slot::finishUnit(UnitRecord &unit, const UnitAddress &address)
{
    const bool ok = passed(unit) && hookPasses(unit, address);
    unit.result = ok ? QStringLiteral("passed") : QStringLiteral("failed");
    // A packet that left with no verdict leaves its address sent: its outcome
    // is not known. One that never left gives a taken address back.
    const AddressState outcome = !unit.packetLeft                         ? AddressState::Released
                                 : ok                                     ? AddressState::Passed
                                 : unit.errorClass == kStoppedAfterPacket ? AddressState::Sent
                                                                          : AddressState::Failed;
    if (address.reserved)
        unit.addressState = outcome;
    else if (address.reprovision && unit.packetLeft && outcome != AddressState::Sent)
        unit.addressState = outcome;
    record(unit, ok ? SlotState::Passed : SlotState::Failed, ok ? QString() : failureDetail(unit));

    LastUnit last{unit.before, {}};
    if (unit.packetLeft)
        last.programmed << unit.packet;
    if (unit.readBack.size() == kBlockSize && unit.errorClass != kForeignReadBack)
        last.programmed << unit.readBack;
    m_lastUnit = last;
}

} // namespace korva::production
