#pragma once

#include <QObject>

class QSocketNotifier;

namespace korva::cli
{

// Turns SIGINT and SIGTERM into a Qt signal on the event loop (a self-pipe
// watched by a socket notifier), so a run ends at a step boundary and leaves
// the module in data mode instead of dying between "+++" and "---".
class StopSignals : public QObject
{
    Q_OBJECT
public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

    int received() const { return m_received; } // the first signal, 0 while none came

signals:
    void stopRequested(int signalNumber);

private:
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
    int m_received = 0;
};

} // namespace korva::cli
