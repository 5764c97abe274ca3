#include "cli/output.h"

#include "cli/terminal.h"
#include "serial/adapterinfo.h"
#include "serial/portmap.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace korva::cli
{

namespace
{

constexpr int kHighestListedPort = 15;

QString rawBytes(const QByteArray &block, Field field)
{
    QStringList bytes;
    for (int position : fieldBytes(field))
        bytes << (position < block.size() ? QString::number(quint8(block.at(position)), 16)
                                                .rightJustified(2, u'0')
                                                .toUpper()
                                          : placeholderText());
    return bytes.join(u' ');
}

// A value as a person reads it: a raw code says that the list lacks it.
QString shownValue(const QString &text)
{
    return rawCodeFromText(text) ? QStringLiteral("code %1, not in the list").arg(text) : text;
}

QString formatText(const Report &report)
{
    struct Row {
        QString label, value, raw;
    };
    QList<Row> rows;
    for (Field field : allFields()) {
        const QString value = fieldText(report.texts, field);
        rows.append({fieldLabel(field),
                     rawCodeFromText(value) ? value + QStringLiteral(" (not in the list)") : value,
                     rawBytes(report.block, field)});
        if (field == Field::LocalAddress)
            rows.append({QStringLiteral("Band"), report.band, QString()});
    }
    qsizetype labelWidth = 0;
    qsizetype valueWidth = 0;
    for (const Row &row : rows) {
        labelWidth = std::max(labelWidth, row.label.size());
        valueWidth = std::max(valueWidth, row.value.size());
    }
    QString text;
    for (const Row &row : rows) {
        QString line = row.label.leftJustified(labelWidth + 2) +
                       row.value.leftJustified(valueWidth + 2) + row.raw;
        while (line.endsWith(u' '))
            line.chop(1);
        text += line + u'\n';
    }
    if (report.verification)
        text += formatVerdict(*report.verification);
    if (report.dryRun)
        text += formatDryRun(report);
    return text;
}

// [{"key": ..., "expected": ..., "actual": ...}, ...]
QJsonArray differencesJson(const QList<FieldDifference> &found)
{
    QJsonArray array;
    for (const FieldDifference &difference : found)
        array.append(QJsonObject{{QStringLiteral("key"), fieldKey(difference.field)},
                                 {QStringLiteral("expected"), difference.expected},
                                 {QStringLiteral("actual"), difference.actual}});
    return array;
}

QString formatJson(const Report &report)
{
    QJsonObject fields;
    for (Field field : allFields())
        fields.insert(fieldKey(field), fieldText(report.texts, field));
    fields.insert(QStringLiteral("band"), report.band);
    QJsonObject top;
    if (!report.port.isEmpty()) {
        top.insert(QStringLiteral("port"), report.port);
        top.insert(QStringLiteral("baud"), report.baud);
    }
    top.insert(QStringLiteral("band"), report.band);
    top.insert(QStringLiteral("block"), QString::fromLatin1(report.block.toHex().toUpper()));
    top.insert(QStringLiteral("fields"), fields);
    if (report.verification) {
        const QList<FieldDifference> &found = report.verification->differences;
        top.insert(QStringLiteral("result"),
                   found.isEmpty() ? QStringLiteral("matches") : QStringLiteral("differs"));
        top.insert(QStringLiteral("differences"), differencesJson(found));
    }
    if (report.dryRun) {
        top.insert(QStringLiteral("dry-run"), true);
        if (report.changes) {
            QJsonArray changes;
            for (const FieldChange &change : *report.changes)
                changes.append(QJsonObject{{QStringLiteral("key"), fieldKey(change.field)},
                                           {QStringLiteral("from"), change.from},
                                           {QStringLiteral("to"), change.to}});
            top.insert(QStringLiteral("changes"), changes);
        }
    }
    return QString::fromUtf8(QJsonDocument(top).toJson(QJsonDocument::Indented));
}

// Adapters without a serial number of their own (or cloned ones) report the
// same one, and udev then gives only one of them its by-id name.
void warnOfSharedSerialNumbers(const QList<AdapterInfo> &adapters)
{
    for (const QString &serial : sharedSerialNumbers(adapters)) {
        QStringList devices;
        for (const AdapterInfo &adapter : adapters) {
            if (adapter.serialNumber == serial)
                devices << adapter.device;
        }
        complain(QStringLiteral("warning: %1 report the same serial number %2, so their "
                                "/dev/serial/by-id names collide; name their slots by "
                                "/dev/serial/by-path instead")
                     .arg(devices.join(QStringLiteral(", ")), serial));
    }
}

} // namespace

QString formatReport(const Report &report, Format format)
{
    switch (format) {
    case Format::Text:
        return formatText(report);
    case Format::Json:
        return formatJson(report);
    case Format::Hex:
        return QString::fromLatin1(report.block.toHex().toUpper()) + u'\n';
    case Format::Csv: // only ledger export prints CSV
        break;
    }
    return {};
}

QString hexLine(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString formatVerdict(const Verification &verification)
{
    QString text;
    for (const FieldDifference &difference : verification.differences)
        text += QStringLiteral("%1: %2 %3, the module holds %4\n")
                    .arg(fieldKey(difference.field), verification.wanted,
                         shownValue(difference.expected), shownValue(difference.actual));
    const qsizetype count = verification.differences.size();
    if (count == 0)
        return text + QStringLiteral("all fields match\n");
    return text + (count == 1 ? QStringLiteral("1 field differs\n")
                              : QStringLiteral("%1 fields differ\n").arg(count));
}

QString formatDryRun(const Report &report)
{
    QString text = QStringLiteral("packet: %1\n").arg(hexLine(report.block));
    if (report.changes) {
        for (const FieldChange &change : *report.changes)
            text +=
                QStringLiteral("%1: %2 -> %3\n")
                    .arg(fieldKey(change.field), shownValue(change.from), shownValue(change.to));
        if (report.changes->isEmpty())
            text += QStringLiteral("no field would change\n");
        return text + QStringLiteral("dry run: nothing was written\n");
    }
    return text + QStringLiteral("dry run: nothing was written (the module was not read: every "
                                 "field was given)\n");
}

QString formatPorts(Format format)
{
    // One scan serves the numbers and the list: it is the slow part.
    const QList<SystemPort> scanned = scanSystemPorts();
    QList<AdapterInfo> adapters;
    for (const SystemPort &port : scanned)
        adapters << adapterInfo(port.device.path);
    warnOfSharedSerialNumbers(adapters);

    if (format == Format::Json) {
        QJsonObject numbers;
        for (int n = 1; n <= kHighestListedPort; ++n) {
            const auto device = deviceForPort(n, scanned);
            const auto *found = std::get_if<PortDevice>(&device);
            numbers.insert(QString::number(n), found ? QJsonValue(found->path) : QJsonValue());
        }
        QJsonArray ports;
        for (qsizetype i = 0; i < scanned.size(); ++i) {
            const AdapterInfo &adapter = adapters[i];
            ports.append(
                QJsonObject{{QStringLiteral("device"), scanned[i].device.path},
                            {QStringLiteral("description"), scanned[i].device.description},
                            {QStringLiteral("vendor-id"), adapter.vendorId},
                            {QStringLiteral("product-id"), adapter.productId},
                            {QStringLiteral("manufacturer"), adapter.manufacturer},
                            {QStringLiteral("product"), adapter.product},
                            {QStringLiteral("serial-number"), adapter.serialNumber},
                            {QStringLiteral("location"), adapter.location},
                            {QStringLiteral("by-path"), QJsonArray::fromStringList(adapter.byPath)},
                            {QStringLiteral("by-id"), QJsonArray::fromStringList(adapter.byId)}});
        }
        return QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("numbers"), numbers},
                                                           {QStringLiteral("system"), ports}})
                                     .toJson(QJsonDocument::Indented));
    }
    QString text;
    for (int n = 1; n <= kHighestListedPort; ++n)
        text += QStringLiteral("%1  %2\n").arg(n, 2).arg(describePort(n, scanned));
    text += QStringLiteral("\nSystem serial ports:\n");
    if (scanned.isEmpty())
        text += QStringLiteral("  none\n");
    for (qsizetype i = 0; i < scanned.size(); ++i) {
        const AdapterInfo &adapter = adapters[i];
        QStringList parts{scanned[i].device.path};
        if (!scanned[i].device.description.isEmpty())
            parts << scanned[i].device.description;
        if (!adapter.manufacturer.isEmpty())
            parts << adapter.manufacturer;
        if (!adapter.vendorId.isEmpty() || !adapter.productId.isEmpty())
            parts << QStringLiteral("%1:%2").arg(adapter.vendorId, adapter.productId);
        if (!adapter.serialNumber.isEmpty())
            parts << QStringLiteral("serial %1").arg(adapter.serialNumber);
        if (!adapter.location.isEmpty())
            parts << QStringLiteral("at USB %1").arg(adapter.location);
        text += QStringLiteral("  ") + parts.join(QStringLiteral("  ")) + u'\n';
        for (const QString &name : adapter.byPath + adapter.byId)
            text += QStringLiteral("    %1\n").arg(name);
    }
    return text;
}

} // namespace korva::cli
