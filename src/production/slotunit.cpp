#include "production/slot.h"

#include "module/fields.h"
#include "production/ledgerservice.h"
#include "production/runshared.h"
#include "serial/adapterinfo.h"

namespace korva::production
{

namespace
{

// Quiet time between a read-back and a second write, as long as Set leaves
// between its "---" and its read-back.
constexpr int kBetweenOperationsMs = 500;
// A unit that does not hold what was written is written once more.
constexpr int kWritesPerUnit = 2;

const QString kStoppedAfterPacket = QStringLiteral("stopped");
const QString kForeignReadBack = QStringLiteral("foreign-read-back");

// A unit is known by its addresses. A module that does not take a field keeps
// its old byte, so each address byte of a read-back from the unit just written
// is the packet's or the unit's before the write; any other comes from another
// unit. The other fields may hold what the unit never held (a module that
// stores another power level than written): that is a difference, not another
// unit.
bool fromAnotherUnit(const QByteArray &readBack, const QByteArray &packet, const QByteArray &before)
{
    const auto byteAt = [](const QByteArray &bytes, qsizetype i) {
        return i < bytes.size() ? std::optional<char>(bytes.at(i)) : std::nullopt;
    };
    for (qsizetype i = 0; i < qMin<qsizetype>(readBack.size(), kAddressBytes); ++i) {
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

void Slot::prepareTexts(UnitRecord &unit, const ReadResult &found, const UnitAddress &address)
{
    unit.reprovision = address.reprovision;
    ConfigTexts texts = m_shared.settings.profileOver(found.texts);
    if (address.address)
        setFieldText(texts, Field::LocalAddress, addressText(*address.address));
    bool isHex = false;
    const quint32 written = fieldText(texts, Field::LocalAddress).toUInt(&isHex, 16);
    unit.address = isHex ? std::optional<quint32>(written) : std::nullopt;
    m_unitAddress = unit.address;
    m_engine->setTextsSource([texts] { return texts; });
}

void Slot::completeUnit(const WriteResult &first)
{
    UnitUnderWay underWay = std::move(*m_underWay);
    m_underWay.reset();
    UnitRecord &unit = underWay.unit;
    bool again = judgeWrite(unit, first);
    while (again && unit.writes < kWritesPerUnit)
        again = writeOnce(unit);
    unit.ended = currentTime();
    if (unit.packetLeft || unit.errorClass != kNotWritten) {
        // Settled with the unit's verdict, which may wait for its --on-unit command.
        finishUnit(unit, underWay.address);
        m_shared.budget.settle(unit.packetLeft, unit.result == QLatin1String("passed"));
        checkRangeLeft();
    } else {
        m_shared.budget.settle(false);
        giveBack(underWay.address);
        m_lastUnit = LastUnit{unit.before, {}};
        m_finishNote = QStringLiteral("stopped before the unit on %1 was written: nothing "
                                      "was written to it")
                           .arg(shownPort());
    }
    emit runChanged();
    m_attached = true;
    m_missed = 0;
    m_shortAnswerTold = false;
    if (!m_shared.ending())
        report(SlotState::RemoveUnit, {}, m_unitAddress);
}

// A second Set, after the quiet a Set keeps before its read-back.
bool Slot::writeOnce(UnitRecord &unit)
{
    idle(kBetweenOperationsMs);
    if (m_shared.halted())
        return false;
    if (!m_engine->port().portOpen()) {
        unit.errorClass = QStringLiteral("port-lost");
        unit.error =
            QStringLiteral("the device went away before the second write: %1").arg(m_lostReason);
        return false;
    }
    report(SlotState::Programming, {}, m_unitAddress);
    return judgeWrite(unit, m_engine->writeConfiguration(m_shared.settings.answerTimeoutMs));
}

bool Slot::judgeWrite(UnitRecord &unit, const WriteResult &written)
{
    const auto fail = [&unit](const QString &errorClass, const QString &error) {
        unit.errorClass = errorClass;
        unit.error = error;
        return false;
    };
    unit.differences.clear();
    unit.readBack.clear();
    if (!written.packet.isEmpty()) {
        unit.packetLeft = true;
        unit.packet = written.packet;
        ++unit.writes;
    }
    if (written.refused)
        return fail(QStringLiteral("refused"), written.refused->text);
    const ReadResult &back = written.readBack;
    // A read-back decoded and compared is a verdict, whatever came after it.
    const bool judged = !written.packet.isEmpty() &&
                        back.outcome == ReadResult::Outcome::Answered && !back.block.isEmpty() &&
                        written.mismatches;
    if (!judged && (m_engine->portLost() || !m_engine->port().portOpen()))
        return fail(QStringLiteral("port-lost"),
                    QStringLiteral("the device failed during the write: %1").arg(m_lostReason));
    if (!judged && back.outcome == ReadResult::Outcome::Stopped) {
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
    if (!judged)
        return fail(QStringLiteral("no-read-back"),
                    QStringLiteral("the unit did not answer the read-back: it was not verified"));

    unit.readBack = back.block;
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
    if (fromAnotherUnit(back.block, written.packet, unit.before))
        return fail(kForeignReadBack,
                    QStringLiteral("the read-back %1 is not from the unit just written (before "
                                   "%2, written %3)")
                        .arg(hexText(back.block), hexText(unit.before), hexText(written.packet)));
    return !unit.differences.isEmpty();
}

// Brings the unit's address to its outcome in the ledger with the unit's
// record, and remembers what the unit holds, so it is known again while it is
// attached.
void Slot::finishUnit(UnitRecord &unit, const UnitAddress &address)
{
    const bool ok = passed(unit) && hookPasses(unit, address);
    unit.result = ok ? QStringLiteral("passed") : QStringLiteral("failed");
    // A packet that left with no read-back judged (a stop that would not wait,
    // a device lost mid-Set, a unit silent) leaves its address sent: its
    // outcome is not known. One that never left gives a taken address back.
    const bool verdict = !unit.packetLeft || !unit.readBack.isEmpty();
    const AddressState outcome = !unit.packetLeft ? AddressState::Released
                                 : ok             ? AddressState::Passed
                                 : verdict        ? AddressState::Failed
                                                  : AddressState::Sent;
    if (address.reserved)
        unit.addressState = outcome;
    else if (address.reprovision && unit.packetLeft && outcome != AddressState::Sent)
        unit.addressState = outcome;
    const SlotState shown = ok        ? SlotState::Passed
                            : verdict ? SlotState::Failed
                                      : SlotState::SentNotVerified;
    record(unit, shown, ok ? QString() : failureDetail(unit));

    LastUnit last{unit.before, {}};
    if (unit.packetLeft)
        last.programmed << unit.packet;
    if (unit.readBack.size() == kBlockSize && unit.errorClass != kForeignReadBack)
        last.programmed << unit.readBack;
    m_lastUnit = last;
}

} // namespace korva::production
