#pragma once

#include "production/profile.h"
#include "production/provisionsettings.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace korva::production
{

// What a provisioning run is asked to do, chosen once: the profile, where the
// units' addresses come from, the ledger, the slots, the names recorded with
// the run and when it ends. korva-station and `korva-cli provision --job`
// read and write it as one JSON file.
struct Job {
    QString profile; // the profile file; "-" reads standard input
    // Where each unit's local address comes from: one of the three.
    std::optional<AddressRange> addresses;
    QString localAddressFrom; // HEX8: the range from there up
    bool keepProfileAddress = false;
    QString ledger;       // an SQLite file or a postgresql:// URL; empty: the default file
    QStringList ports;    // one slot each, a port number or a device path
    QString baud;         // empty: the window's stored rate, else 38400
    QString band;         // 433Mhz or 868Mhz; empty: the profile's, else 433Mhz
    QString station;      // empty: the host name
    QString operatorName; // empty: the login name
    QString order;        // an order or lot name recorded with the run; may be empty
    int count = 0;        // units written over all slots; 0: no limit
    int target = 0;       // units passed over all slots; 0: open-ended
    bool reprovision = false;

    // Every field that `given` sets replaces this job's. Where the addresses
    // come from and the list of ports are replaced as a whole.
    void overlay(const Job &given);
};

// Reads a job file. Paths in it (the profile, an SQLite ledger, ports given as
// paths) are taken from the file's folder. A key that is unknown, given twice
// or of the wrong kind is refused naming the file and the key.
std::variant<Job, QString> loadJob(const QString &path);

// The job as a job file reads it.
QByteArray jobJson(const Job &job);
// Writes the job to a file, whole or not at all; the reason it could not, or empty.
QString saveJob(const Job &job, const QString &path);

// A job checked and turned into the settings of its run.
struct PreparedJob {
    ProvisionSettings settings;
    RunValues values;  // the profile's values and its bytes as read
    QStringList notes; // what a person should know about accepted values
    // Why the job cannot run, in the words korva-cli provision uses; empty when
    // it can. Nothing was opened or written then.
    QString refusal;
};

// Reads the job's profile, checks where its addresses come from, chooses its
// ports and line rate as korva-cli does, and fills in the run's start record
// (toolVersion among it: "korva-cli 1.0.95"). The run's answer timeout is
// left at its default.
PreparedJob prepareJob(const Job &job, const QString &toolVersion);

} // namespace korva::production
