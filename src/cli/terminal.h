#pragma once

#include <QString>

#include <functional>

namespace korva::cli
{

// korva-cli's results (stdout) and messages (stderr), each written whole or the
// failure kept: a full disk, a closed pipe or a file size limit (SIGPIPE and
// SIGXFSZ are ignored, so such a write fails instead of killing the run) ends
// the run with kExitRecordFailed rather than going unnoticed. Safe to use from
// several threads at once.

// False, and the failure kept, when not every byte was taken.
bool writeResult(const QString &text);
bool writeMessage(const QString &text);
// "korva-cli: " + the text + a newline, on stderr.
bool complain(const QString &text);

// The first failed write: which stream and the system's reason, as in
// "standard output: No space left on device"; empty while none failed.
QString outputFailure();
// Whether the failed stream was stdout, so a message about it can still go to stderr.
bool resultLost();

// Called once, on the thread that wrote, when the first write fails; an
// empty function removes it.
void setOutputFailureHandler(std::function<void()> handler);

} // namespace korva::cli
