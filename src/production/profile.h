#pragma once

#include "production/fieldvalues.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace korva::production
{

// The largest profile read; one is well under 1 KiB, and /dev/zero or an endless
// pipe must not be read until memory runs out.
inline constexpr qsizetype kMaxProfileBytes = 1024 * 1024;

struct ProfileResult {
    Changes changes;
    int line = 0;  // where the refused key or the bad JSON is, counted from 1
    QString error; // empty when the profile was accepted
    // What a person should know: keys that are read and not used.
    QStringList notes;
};

// Reads a profile: the object that `read --format json` prints (its "fields"
// are the values; beside them "band" and "block" must agree with the fields,
// "port" and "baud" and the keys of a verify or write report are not used),
// or a flat object of keys and values. Every key must be known, appear once in
// its object, and every value be valid; the first one that is not is named with
// its line (a key given twice with both lines).
ProfileResult parseProfile(const QByteArray &json);

// The first key that one object of valid JSON holds twice, as "\"key\" is given
// twice, on lines 3 and 7" (QJsonDocument would keep the last without a word);
// empty when none does.
QString duplicatedKey(const QByteArray &json);

// Where a run's values come from: a profile file, --set values and --band.
struct ValueRequest {
    QString profile;  // a file; "-" reads standard input; empty: none
    QStringList sets; // KEY=VALUE each
    QString band = QStringLiteral("433Mhz");
    bool bandGiven = false; // a profile's or --set's band must agree with it
};

// What a run is asked to write or verify: the profile (at most
// kMaxProfileBytes; "-" reads standard input) or the --set values, the band
// they are read for (theirs, else --band's), and notes for the person.
// Conflicts are refused naming both sides: a key set twice to two values, a
// band against --band; a refused profile is named with its line. The values
// pass checkChanges.
struct RunValues {
    Changes changes;
    QString band;
    QStringList notes;
    QByteArray profile; // the profile file as read, for its checksum
    QString error;      // empty when accepted
};
RunValues gatherValues(const ValueRequest &request);

} // namespace korva::production
