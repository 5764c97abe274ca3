#pragma once

#include "cli/commandline.h"
#include "config/moduleconfig.h"
#include "module/fields.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace korva::cli
{

// The outcome of a comparison with the module (verify, and write's read-back).
struct Verification {
    QString wanted; // how the expected values came about: "expected", "written"
    QList<FieldDifference> differences;
};

// A field a dry run would change: what the module holds and what it would get.
struct FieldChange {
    Field field;
    QString from;
    QString to;
};

// A configuration as printed: where it came from, the block and its texts, and
// what verify, write or a dry run add to it.
struct Report {
    QString port; // empty: nothing was opened (a dry run with every value given)
    int baud = 0;
    QString band;
    QByteArray block;
    ConfigTexts texts;
    std::optional<Verification> verification;
    bool dryRun = false;
    std::optional<QList<FieldChange>> changes; // a dry run that read the module
};

// text: an aligned table of label, value and raw byte(s), then the verdict and
// the dry run's lines; json: one object, a valid profile, with "result" and
// "differences" after a comparison and "dry-run" and "changes" for a dry run;
// hex: the block as 30 hex digits alone.
QString formatReport(const Report &report, Format format);

// The bytes as upper-case hex, two digits each, separated by spaces.
QString hexLine(const QByteArray &bytes);

// "tx-power: written -21 dBm, the module holds 0 dBm", one line each, then one
// plain line: "all fields match" or "2 fields differ".
QString formatVerdict(const Verification &verification);

// The packet as one line of hex, the fields that would change from what to what
// (when the module was read), and that nothing was written.
QString formatDryRun(const Report &report);

// The port numbers with their devices, then the ports the system lists.
QString formatPorts(Format format);

} // namespace korva::cli
