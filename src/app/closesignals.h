#pragma once

#include <QObject>

class QSocketNotifier;

namespace korva
{

// Turns SIGTERM, SIGHUP and SIGINT into a Qt signal on the event loop (a
// self-pipe watched by a socket notifier), so that the window closes as its
// close button closes it instead of dying with the module in command mode.
// The handlers are in place from construction on; a signal that comes before
// watch() waits in the pipe until then.
class CloseSignals : public QObject
{
    Q_OBJECT
public:
    explicit CloseSignals(QObject *parent = nullptr);
    ~CloseSignals() override;

    // Starts delivering closeRequested, for signals already received too.
    void watch();

signals:
    void closeRequested(int signalNumber);

private:
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
};

} // namespace korva
