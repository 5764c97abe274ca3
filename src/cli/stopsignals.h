#pragma once

#include "module/signalpipe.h"

#include <QObject>

namespace korva::cli
{

// Turns SIGINT, SIGTERM, SIGHUP and SIGQUIT into stopRequested, so a run ends
// at a step boundary and leaves the module in data mode instead of dying
// between "+++" and "---". SIGTSTP suspends the process only once no module is
// in command mode (see CommandModeGate). SIGPIPE and SIGXFSZ are ignored: a
// write to a closed pipe or past the file size limit fails instead, and the
// writer reports it. A signal ignored when the program started (nohup) stays
// ignored.
class StopSignals : public QObject
{
    Q_OBJECT
public:
    explicit StopSignals(QObject *parent = nullptr);

    int received() const { return m_received; } // the first signal, 0 while none came
    int count() const { return m_count; }       // stop signals so far

    // Ignores SIGPIPE and SIGXFSZ for the whole process (the constructor does
    // too); for output written before a run begins.
    static void ignoreBrokenOutput();

signals:
    void stopRequested(int signalNumber);

private:
    void onSignal(int signalNumber);

    SignalPipe m_pipe;
    int m_received = 0;
    int m_count = 0;
};

} // namespace korva::cli
