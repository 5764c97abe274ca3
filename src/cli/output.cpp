#include "cli/output.h"

#include "serial/portmap.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>

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
    const QList<QSerialPortInfo> system = QSerialPortInfo::availablePorts();
    const auto hexId = [](bool has, quint16 id) {
        return has ? QString::number(id, 16).rightJustified(4, u'0') : QString();
    };
    if (format == Format::Json) {
        QJsonObject numbers;
        for (int n = 1; n <= kHighestListedPort; ++n) {
            const auto device = deviceForPort(n);
            const auto *found = std::get_if<PortDevice>(&device);
            numbers.insert(QString::number(n), found ? QJsonValue(found->path) : QJsonValue());
        }
        QJsonArray ports;
        for (const QSerialPortInfo &info : system)
            ports.append(QJsonObject{{QStringLiteral("device"), info.systemLocation()},
                                     {QStringLiteral("description"), info.description()},
                                     {QStringLiteral("vendor-id"),
                                      hexId(info.hasVendorIdentifier(), info.vendorIdentifier())},
                                     {QStringLiteral("product-id"),
                                      hexId(info.hasProductIdentifier(), info.productIdentifier())},
                                     {QStringLiteral("serial-number"), info.serialNumber()}});
        return QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("numbers"), numbers},
                                                           {QStringLiteral("system"), ports}})
                                     .toJson(QJsonDocument::Indented));
    }
    QString text;
    for (int n = 1; n <= kHighestListedPort; ++n)
        text += QStringLiteral("%1  %2\n").arg(n, 2).arg(describePort(n));
    text += QStringLiteral("\nSystem serial ports:\n");
    if (system.isEmpty())
        text += QStringLiteral("  none\n");
    for (const QSerialPortInfo &info : system) {
        QStringList parts{info.systemLocation()};
        if (!info.description().isEmpty())
            parts << info.description();
        if (info.hasVendorIdentifier() || info.hasProductIdentifier())
            parts << QStringLiteral("%1:%2").arg(
                hexId(info.hasVendorIdentifier(), info.vendorIdentifier()),
                hexId(info.hasProductIdentifier(), info.productIdentifier()));
        if (!info.serialNumber().isEmpty())
            parts << QStringLiteral("serial %1").arg(info.serialNumber());
        text += QStringLiteral("  ") + parts.join(QStringLiteral("  ")) + u'\n';
    }
    return text;
}

} // namespace korva::cli
