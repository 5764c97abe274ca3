#include "cli/terminal.h"

#include "production/recordfile.h"

#include <QMutex>

#include <unistd.h>

namespace korva::cli
{

namespace
{

struct OutputState {
    QMutex mutex;
    QString failure;
    bool resultLost = false;
    std::function<void()> handler;
};

OutputState &state()
{
    static OutputState output;
    return output;
}

bool writeTo(int fd, const QString &text)
{
    const QString reason = production::writeWhole(fd, text.toUtf8());
    if (reason.isEmpty())
        return true;
    OutputState &output = state();
    std::function<void()> handler;
    {
        QMutexLocker lock(&output.mutex);
        if (!output.failure.isEmpty())
            return false;
        output.failure = (fd == STDOUT_FILENO ? QStringLiteral("standard output: ")
                                              : QStringLiteral("standard error: ")) +
                         reason;
        output.resultLost = fd == STDOUT_FILENO;
        handler = output.handler;
    }
    if (handler)
        handler();
    return false;
}

} // namespace

bool writeResult(const QString &text)
{
    return writeTo(STDOUT_FILENO, text);
}

bool writeMessage(const QString &text)
{
    return writeTo(STDERR_FILENO, text);
}

bool complain(const QString &text)
{
    return writeMessage(QStringLiteral("korva-cli: ") + text + u'\n');
}

QString outputFailure()
{
    OutputState &output = state();
    QMutexLocker lock(&output.mutex);
    return output.failure;
}

bool resultLost()
{
    OutputState &output = state();
    QMutexLocker lock(&output.mutex);
    return output.resultLost;
}

void setOutputFailureHandler(std::function<void()> handler)
{
    OutputState &output = state();
    QMutexLocker lock(&output.mutex);
    output.handler = std::move(handler);
}

} // namespace korva::cli
