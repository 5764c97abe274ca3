#pragma once

#include "moduleemulator.h"
#include "wire.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

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

// What the tool wrote on one provisioning line, burst by burst, with each
// packet shown as "P".
inline QByteArray wireShape(const korva::emu::ModuleEmulator &emulator)
{
    QByteArray shape;
    for (const korva::emu::WireBurst &burst : sentBursts(emulator))
        shape += burst.bytes.size() == korva::emu::ModuleEmulator::kConfigSize ? "P" : burst.bytes;
    return shape;
}

// The first fault of the tool's wire on one provisioning line, or nothing.
// Every "+++" either is a poll, "---" 100 ms later at the soonest, or begins a
// Set: the packet 200 ms later, "---" 200 ms after it, and 500 ms later the
// read-back's "+++" with its "---" 100 ms after; every "---" is followed by
// 100 ms of quiet at least before the next "+++". A Set may end after its
// "---" when the run ends; with `cut`, also where the line dropped.
inline QString wireFault(const korva::emu::ModuleEmulator &emulator, bool cut = false)
{
    using korva::emu::WireBurst;
    const QList<WireBurst> sent = sentBursts(emulator);
    const auto at = [&](qsizetype i) {
        if (i >= sent.size())
            return QByteArray();
        const QByteArray &bytes = sent.at(i).bytes;
        return bytes.size() == korva::emu::ModuleEmulator::kConfigSize ? QByteArray("P") : bytes;
    };
    const auto around = [&](qsizetype i) {
        QString seen;
        for (qsizetype k = i; k < qMin(i + 6, sent.size()); ++k)
            seen += QStringLiteral(" %1 (+%2 us)")
                        .arg(QString::fromLatin1(at(k)))
                        .arg(k > i ? sent.at(k).firstUsec - sent.at(k - 1).lastUsec : 0);
        return seen + QStringLiteral(" at %1 us").arg(sent.at(i).firstUsec);
    };
    const QList<QPair<QByteArray, int>> poll{{"---", 100}};
    const QList<QPair<QByteArray, int>> set{{"P", 200}, {"---", 200}, {"+++", 500}, {"---", 100}};
    for (qsizetype i = 0; i < sent.size();) {
        if (at(i) != "+++")
            return QStringLiteral("no \"+++\" first:") + around(i);
        const QList<QPair<QByteArray, int>> &steps = at(i + 1) == "P" ? set : poll;
        qsizetype k = 0;
        while (k < steps.size() && at(i + k + 1) == steps.at(k).first)
            ++k;
        for (qsizetype j = 0; j < k; ++j) {
            if (!gapAtLeast(sent.at(i + j), sent.at(i + j + 1), steps.at(j).second))
                return QStringLiteral("a step too soon:") + around(i);
        }
        // A Set may end after its "---" when the run ends there; with `cut`,
        // anything may end where the line dropped and the next "+++" begins.
        const bool ended = i + k + 1 == sent.size();
        const bool whole = k == steps.size() || (&steps == &set && k == 2 && ended);
        if (!whole && !(cut && (ended || at(i + k + 1) == "+++")))
            return QStringLiteral("a step missing:") + around(i);
        i += k + 1;
        if (i < sent.size() && at(i - 1) == "---" && !gapAtLeast(sent.at(i - 1), sent.at(i), 100))
            return QStringLiteral("\"+++\" less than 100 ms after \"---\":") + around(i - 1);
    }
    return {};
}

inline void sendSignals(qint64 pid, const QList<int> &signalNumbers)
{
    // 0 (a process not started) would signal the whole process group.
    for (const int signalNumber : signalNumbers)
        if (pid > 0)
            ::kill(pid_t(pid), signalNumber);
}

// Does something the first time the tool's wire on a line ends with a shape
// ("+++", "+++P", "+++P---+++"; "P" a packet), at once or this long after (from
// a thread of its own, so the line goes on meanwhile).
class WireTrigger
{
public:
    WireTrigger(korva::emu::ModuleEmulator &line, const QByteArray &after, int delayMs,
                std::function<void()> action)
        : m_line(line), m_action(std::move(action))
    {
        m_line.setByteObserver([this, after, delayMs](const korva::emu::WireByte &byte) {
            if (byte.direction != korva::emu::WireByte::Direction::ToModule || m_done ||
                after.isEmpty() || !take(char(byte.value)) || !m_shape.endsWith(after))
                return;
            m_done = true;
            if (delayMs == 0)
                return m_action();
            m_delayed = std::thread([this, delayMs] {
                std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
                m_action();
            });
        });
    }
    ~WireTrigger()
    {
        m_line.setByteObserver({});
        if (m_delayed.joinable())
            m_delayed.join();
    }
    WireTrigger(const WireTrigger &) = delete;
    WireTrigger &operator=(const WireTrigger &) = delete;

private:
    // Adds a byte to the shape; true when it completed a string or a packet.
    bool take(char value)
    {
        m_pending.append(value);
        const bool packet = m_shape.endsWith("+++") && !m_pending.startsWith('-');
        if (m_pending.size() < (packet ? korva::emu::ModuleEmulator::kConfigSize : 3))
            return false;
        m_shape += packet ? QByteArray("P") : m_pending;
        m_pending.clear();
        return true;
    }

    korva::emu::ModuleEmulator &m_line;
    const std::function<void()> m_action;
    QByteArray m_shape;
    QByteArray m_pending;
    bool m_done = false;
    std::thread m_delayed;
};
