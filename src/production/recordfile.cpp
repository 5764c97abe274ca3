#include "production/recordfile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korva::production
{

namespace
{

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

QString writeWhole(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return systemReason(errno);
        }
        if (written == 0)
            return systemReason(EIO);
        done += written;
    }
    return {};
}

RecordFile::~RecordFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QString RecordFile::open(const QString &path)
{
    QMutexLocker lock(&m_mutex);
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return QStringLiteral("cannot open %1: %2").arg(path, systemReason(errno));
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
    m_path = path;
    return {};
}

QString RecordFile::appendLine(QByteArray line)
{
    if (!line.endsWith('\n'))
        line.append('\n');
    QMutexLocker lock(&m_mutex);
    if (m_fd < 0)
        return QStringLiteral("%1 is not open").arg(m_path);
    // Where the line begins, so a partial write can be taken back. Another
    // process appending to the same file at once is not guarded against.
    struct stat before = {};
    const bool sized = ::fstat(m_fd, &before) == 0;
    QString reason = writeWhole(m_fd, line);
    if (reason.isEmpty() && ::fsync(m_fd) != 0 && errno != EINVAL)
        reason = systemReason(errno);
    if (reason.isEmpty())
        return {};
    if (sized && S_ISREG(before.st_mode)) {
        // Cut the torn line off; what was there before stays as it was.
        if (::ftruncate(m_fd, before.st_size) == 0)
            ::fsync(m_fd);
    }
    return QStringLiteral("cannot write to %1: %2").arg(m_path, reason);
}

} // namespace korva::production
