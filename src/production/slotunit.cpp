#include "production/slot.h"

#include "module/fields.h"
#include "production/runshared.h"

#include <QDateTime>

namespace korva::production
{

namespace
{

// Quiet time between the read that found a unit and the Set after it, as long
// as Set leaves between its "---" and its read-back.
constexpr int kBetweenOperationsMs = 500;
// A unit that does not hold what was written is written once more.
constexpr int kWritesPerUnit = 2;

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

void putLocalAddress(ConfigTexts &texts, quint32 address)
{
    for (int i = 0; i < 4; ++i)
        texts.address[size_t(kLocalAddressByte + i)] =
            QStringLiteral("%1")
                .arg((address >> (24 - 8 * i)) & 0xFF, 2, 16, QLatin1Char('0'))
                .toUpper();
}

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString failureDetail(const UnitReport &unit)
{
    if (!unit.errorClass.isEmpty())
        return unit.error;
    QStringList fields;
    for (const FieldDifferenceText &difference : unit.differences)
        fields << QStringLiteral("%1: written %2, the unit holds %3")
                      .arg(difference.key, difference.expected, difference.actual);
    return fields.join(QStringLiteral("; "));
}

} // namespace

UnitReport Slot::programUnit(const ReadResult &found, const UnitAllowance::Claim &claim)
{
    UnitReport unit;
    unit.slot = m_number;
    unit.device = m_port.port;
    unit.started = QDateTime::currentDateTime();
    unit.before = found.block;
    ConfigTexts texts = m_shared.settings.profileOver(found.texts);
    if (claim.address)
        putLocalAddress(texts, *claim.address);
    unit.localAddress = fieldText(texts, Field::LocalAddress);
    bool isHex = false;
    const quint32 address = unit.localAddress.toUInt(&isHex, 16);
    m_unitAddress = isHex ? std::optional<quint32>(address) : std::nullopt;
    m_engine->setTextsSource([texts] { return texts; });
    while (unit.writes < kWritesPerUnit && writeOnce(unit, found.block)) {
    }
    unit.ended = QDateTime::currentDateTime();
    return unit;
}

// One Set with its read-back; true when the unit holds something else than was
// written and may be written once more.
bool Slot::writeOnce(UnitReport &unit, const QByteArray &before)
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
        return fail(QStringLiteral("stopped"),
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
        return fail(QStringLiteral("foreign-read-back"),
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
        unit.differences << FieldDifferenceText{fieldKey(field), fieldText(expected, field),
                                                fieldText(back.texts, field)};
    }
    return !unit.differences.isEmpty();
}

// Records the unit (the log, then the output), tells the run how it went and
// remembers what the unit holds, so it is known again while it is attached.
void Slot::finishUnit(UnitReport &unit)
{
    if (const QString failed = m_shared.records.append(unit); !failed.isEmpty())
        m_shared.halt(EndReason::RecordFailed, failed);
    const bool passed = unit.passed();
    report(passed ? SlotState::Passed : SlotState::Failed, passed ? QString() : failureDetail(unit),
           m_unitAddress, unit.started.msecsTo(unit.ended));

    LastUnit last{unit.before, {}};
    if (unit.packetLeft)
        last.programmed << unit.packet;
    if (unit.readBack.size() == kBlockSize && unit.errorClass != QLatin1String("foreign-read-back"))
        last.programmed << unit.readBack;
    m_lastUnit = last;
}

} // namespace korva::production
