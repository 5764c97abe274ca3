#pragma once

#include "production/job.h"

#include <QString>
#include <QStringList>

namespace korva::station
{

// korva-station's command line: a job file, and the fields of a job with the
// option names korva-cli provision uses, which override the file's.
struct StationOptions {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    QString jobFile;       // empty: none
    production::Job given; // the fields given as options
    bool start = false;    // start the run without a click
    QString error;
};

StationOptions parseStationOptions(const QStringList &arguments);

// The job the options ask for: the job file's, with the options over its
// fields. When the file cannot be read, `refusal` says why and the job holds
// the options alone.
production::Job jobOf(const StationOptions &options, QString &refusal);

QString stationHelpText();
QString stationVersionText(); // "korva-station 1.0.95"

} // namespace korva::station
