#pragma once

#include <QList>
#include <QObject>

class QSocketNotifier;

namespace korva
{

// Turns POSIX signals into a Qt signal on the event loop, so a front end ends
// between two steps instead of dying with the module in command mode. The
// handler only writes the signal's number to a pipe, which a handler may do
// safely at any moment; a socket notifier on the pipe's other end emits
// received() on the thread this object lives on.
//
// The pipe is one for the whole process and stays open until it ends, so a
// handler that runs while a SignalPipe goes away never writes to a descriptor
// closed or reused meanwhile. Only one SignalPipe may exist at a time, as each
// reads the pipe.
class SignalPipe : public QObject
{
    Q_OBJECT
public:
    enum class WhenIgnored {
        Handle,      // the signal gets the handler all the same
        KeepIgnored, // ignored at start (nohup, a shell's background job): it stays ignored
    };

    // Installs the handler for each signal at once; received() is emitted from
    // watch() on, for signals that came before it too.
    SignalPipe(const QList<int> &signalNumbers, WhenIgnored whenIgnored, QObject *parent = nullptr);
    // Gives each signal handled here its default action back.
    ~SignalPipe() override;
    SignalPipe(const SignalPipe &) = delete;
    SignalPipe &operator=(const SignalPipe &) = delete;

    void watch();

    // Raises the signal with its default action, as if no handler were
    // installed (SIGTSTP then stops the process the way job control expects),
    // and puts back the action it had once the process goes on.
    static void raiseByDefault(int signalNumber);

signals:
    void received(int signalNumber);

private:
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
    QList<int> m_handled;
};

} // namespace korva
