#pragma once

#include <QProcess>
#include <QStringList>

// korva-cli as a process, for the tests whose target defines KORVA_CLI_PROGRAM.
struct Outcome {
    int code = -1; // -1: it crashed or was killed
    QString out;
    QString err;
};

// Starts korva-cli with an empty stdin that is no terminal.
inline void startCli(QProcess &process, const QStringList &arguments)
{
    process.setProgram(QStringLiteral(KORVA_CLI_PROGRAM));
    process.setArguments(arguments);
    process.start();
    process.closeWriteChannel();
}

// Waits for a process to end, killing it past the time limit.
inline Outcome finish(QProcess &process, int limitMs = 120000)
{
    if (!process.waitForFinished(limitMs)) {
        process.kill();
        process.waitForFinished();
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

inline Outcome runCli(const QStringList &arguments)
{
    QProcess process;
    startCli(process, arguments);
    return finish(process);
}
