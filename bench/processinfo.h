#pragma once

#include <QString>

namespace korva::bench
{

// Resident memory of a process in KiB from /proc/<pid>/status ("self" for this
// one); -1 when it cannot be read.
qint64 residentKiB(const QString &pid = QStringLiteral("self"));
// The peak of that memory so far (a child's own, from its program's start,
// which its rusage would not tell apart from the parent it was forked from).
qint64 peakResidentKiB(const QString &pid);

// CPU time (user + system) in milliseconds: of the whole process, and of the
// calling thread alone.
double processCpuMs();
double threadCpuMs();
// Of the child processes that have ended and been waited for.
double childrenCpuMs();

} // namespace korva::bench
