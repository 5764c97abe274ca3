#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>

namespace korva::production
{

// Hands every byte to the descriptor, through short writes and interrupted
// calls. Returns the system's reason when it could not, an empty text when all
// bytes were taken.
QString writeWhole(int fd, const QByteArray &bytes);

// A file that records are appended to one line at a time, each on the disk
// before the call returns. A line is all there or not at all: one that could
// not be written whole is cut back off, so no reader ever sees a torn record.
// Safe to use from several threads at once.
class RecordFile
{
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;

    // Opens (creating) the file for appending; the reason it could not, or empty.
    QString open(const QString &path);
    bool isOpen() const { return m_fd >= 0; }

    // Appends the line (a newline is added when missing) and syncs it to disk.
    // Returns the reason it failed, naming the file, or an empty text.
    QString appendLine(QByteArray line);

private:
    QMutex m_mutex;
    QString m_path;
    int m_fd = -1;
};

} // namespace korva::production
