#include "cli/output.h"

#include "serial/adapterinfo.h"
#include "serial/portmap.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

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

QString formatText(const Report &report)
{
    struct Row {
        QString label, value, raw;
    };
    QList<Row> rows;
    for (Field field : allFields()) {
        rows.append(
            {fieldLabel(field), fieldText(report.texts, field), rawBytes(report.block, field)});
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
    return text;
}

QString formatJson(const Report &report)
{
    QJsonObject fields;
    for (Field field : allFields())
        fields.insert(fieldKey(field), fieldText(report.texts, field));
    fields.insert(QStringLiteral("band"), report.band);
    QJsonObject top;
    top.insert(QStringLiteral("port"), report.port);
    top.insert(QStringLiteral("baud"), report.baud);
    top.insert(QStringLiteral("band"), report.band);
    top.insert(QStringLiteral("block"), QString::fromLatin1(report.block.toHex().toUpper()));
    top.insert(QStringLiteral("fields"), fields);
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
        const QByteArray warning =
            QStringLiteral("korva-cli: warning: %1 report the same serial number %2, so their "
                           "/dev/serial/by-id names collide; name their slots by "
                           "/dev/serial/by-path instead\n")
                .arg(devices.join(QStringLiteral(", ")), serial)
                .toUtf8();
        std::fwrite(warning.constData(), 1, size_t(warning.size()), stderr);
        std::fflush(stderr);
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
    }
    return {};
}

QString formatDifferences(const QList<FieldDifference> &found, const QString &wanted)
{
    QString text;
    for (const FieldDifference &difference : found)
        text +=
            QStringLiteral("%1: %2 %3, the module holds %4\n")
                .arg(fieldKey(difference.field), wanted, difference.expected, difference.actual);
    return text;
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
