#pragma once

#include "cli/commandline.h"
#include "config/moduleconfig.h"
#include "module/fields.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace korva::cli
{

// A configuration as printed: where it came from, the block and its texts.
struct Report {
    QString port;
    int baud = 0;
    QString band;
    QByteArray block;
    ConfigTexts texts;
};

// text: an aligned table of label, value and raw byte(s); json: one object that
// is also a valid profile; hex: the block as 30 hex digits.
QString formatReport(const Report &report, Format format);

// "tx-power: written 0 dBm, the module holds -21 dBm", one line each; `wanted`
// says how the expected value came about ("written", "expected").
QString formatDifferences(const QList<FieldDifference> &found, const QString &wanted);

// The port numbers with their devices, then the ports the system lists.
QString formatPorts(Format format);

} // namespace korva::cli
