#pragma once

#include <QString>

namespace korva
{

// The last port and baud rate, kept as plain text in the per-user settings store
// ($XDG_CONFIG_HOME/KORVA/KORVA.ini on Linux, [Settings] Port and BAUD).
struct PortSettings {
    QString port;
    QString baud;
};

struct LoadedPortSettings {
    PortSettings settings;
    // Whether a port was stored at all (the text is "1" when none was).
    bool portStored = false;
    // Whether a baud rate was stored at all (the text is "38400" when none was).
    bool baudStored = false;
    // Why the store could not be read in full; empty when it could.
    QString problem;
};

// The stored texts as they stand, "1" and "38400" where nothing could be read.
LoadedPortSettings loadPortSettings();

// Writes each text as it is; a text that is blank after trimming leaves its key
// as it was. Returns why the store could not be written, or an empty text.
QString savePortSettings(const PortSettings &settings);

} // namespace korva
