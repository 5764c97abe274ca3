#include "processinfo.h"

#include <QFile>

#include <sys/resource.h>

namespace korva::bench
{

namespace
{

double cpuMs(int who)
{
    rusage usage{};
    if (getrusage(who, &usage) != 0)
        return 0;
    const auto ms = [](const timeval &t) {
        return double(t.tv_sec) * 1000 + t.tv_usec / 1000.0;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// A "Vm...:     12345 kB" line of /proc/<pid>/status, in KiB.
qint64 statusKiB(const QString &pid, const QByteArray &key)
{
    // Files under /proc report a size of 0, so they are read whole rather than
    // line by line up to atEnd().
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (!line.startsWith(key))
            continue;
        bool ok = false;
        const qint64 kib = line.mid(key.size()).simplified().split(' ').value(0).toLongLong(&ok);
        return ok ? kib : -1;
    }
    return -1;
}

} // namespace

qint64 residentKiB(const QString &pid)
{
    return statusKiB(pid, "VmRSS:");
}

qint64 peakResidentKiB(const QString &pid)
{
    return statusKiB(pid, "VmHWM:");
}

double processCpuMs()
{
    return cpuMs(RUSAGE_SELF);
}

double threadCpuMs()
{
    return cpuMs(RUSAGE_THREAD);
}

double childrenCpuMs()
{
    return cpuMs(RUSAGE_CHILDREN);
}

} // namespace korva::bench
