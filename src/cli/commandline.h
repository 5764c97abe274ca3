#pragma once

#include "production/ledgerlocation.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace korva::cli
{

// Exit codes, the same in --help, the README and the manual.
enum ExitCode {
    kExitDone = 0,
    kExitDifferent = 1, // verify found a difference
    kExitUsage = 2,     // usage error or a value refused; nothing written
    kExitNoPort = 3,    // the port could not be opened
    kExitNoAnswer = 4,  // no answer or a short answer after the retries
    kExitPortLost = 5,  // the device failed during the operation
    // The ledger, the log or stdout could not be opened, read or written whole;
    // a run stops there with the module in data mode.
    kExitRecordFailed = 6,
    kExitRangeUsedUp = 7, // provision: the address range ran out before --count
    kExitDeclined = 8,    // reset-defaults was answered No; nothing written
};

enum class Verb { Ports, Read, Write, Verify, ResetDefaults, Provision, Ledger };
enum class LedgerVerb { Status, Export, Check, Sync };
enum class Format { Text, Json, Hex, Csv };

struct CliOptions {
    Verb verb = Verb::Read;
    QString port;      // a number or a device path; empty: the window's stored port
    QStringList ports; // provision: every --port in order, one slot each
    QString baud;      // empty: the window's stored rate
    QString band = QStringLiteral("433Mhz");
    bool bandGiven = false; // --band was given (a profile's or --set's band must agree)
    Format format = Format::Text;
    bool trace = false;
    int timeoutMs = 1000;
    int retries = 1;
    bool quiet = false;
    QStringList sets;
    QString profile;
    bool dryRun = false;
    bool noVerify = false;
    bool yes = false;
    QString localAddressFrom; // provision: the first unit's local address (empty: the profile's)
    int count = 0;            // provision: units to program (0: until stopped)
    QString logFile;          // provision: where each unit's line is appended too
    LedgerVerb ledgerVerb = LedgerVerb::Status;
    std::optional<production::LedgerLocation> ledger;  // nullopt: the default file
    std::optional<production::AddressRange> addresses; // nullopt: not given
    bool keepProfileAddress = false; // provision: every unit keeps the profile's address
    bool reprovision = false;        // provision: write a provisioned unit again, same address
    QString station;                 // provision: recorded; empty: the host name
    QString operatorName;            // provision: recorded; empty: the login name
    bool noColor = false;            // provision: the view without colours
    QString onUnit;                  // provision: a shell command run after each unit
    int onUnitTimeoutMs = 30000;     // provision: the command's time limit
    bool onUnitRequired = false;     // provision: a unit passes only once its command did
    int ledgerTimeoutMs = 10000;     // provision, ledger sync: the bound of each ledger call
    QString journal;      // ledger check, ledger sync: a journal folder or file; empty: the default
    QString jobFile;      // provision: a job file; the options given beside it override its fields
    QString ledgerSpec;   // --ledger as given
    int target = 0;       // provision: units to pass (0: until stopped)
    QString order;        // provision: an order or lot name recorded with the run
    QString since, until; // ledger export: the records' times (empty: open)
    qint64 run = 0;       // ledger export: the records of this run only (0: all)
};

struct ParsedCommandLine {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    CliOptions options;
    QString error;
};

// Reads the arguments (without the program name): one verb and its options.
ParsedCommandLine parseCommandLine(const QStringList &arguments);

QString helpText();
QString versionText();

} // namespace korva::cli
