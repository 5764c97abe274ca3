#pragma once

#include "cli/fieldvalues.h"

#include <QByteArray>
#include <QString>

namespace korva::cli
{

struct ProfileResult {
    Changes changes;
    int line = 0;  // where the refused key or the bad JSON is, counted from 1
    QString error; // empty when the profile was accepted
};

// Reads a profile: the object that `read --format json` prints (its "fields"
// are the values; "port", "baud", "band" and "block" are allowed beside them),
// or a flat object of keys and values. Every key must be known and every value
// valid; the first one that is not is named with its line.
ProfileResult parseProfile(const QByteArray &json);

// Reads and parses the profile file at `path` ("-": standard input) into
// `changes`, and hands over what was read when `contents` is given. The error
// text, empty on success, names the file and, for a refused profile, the line.
QString readProfileFile(const QString &path, Changes &changes, QByteArray *contents = nullptr);

} // namespace korva::cli
