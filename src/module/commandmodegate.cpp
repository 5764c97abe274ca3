#include "module/commandmodegate.h"

#include <QMutex>
#include <QWaitCondition>

namespace korva
{

namespace
{

struct GateState {
    QMutex mutex;
    QWaitCondition idle; // woken when a suspension has run
    int inCommandMode = 0;
    void (*pending)() = nullptr;
    bool suspending = false;
};

GateState &state()
{
    static GateState gate;
    return gate;
}

// Called with the mutex held; runs the suspension without it, so the other
// threads' leave() calls do not wait on a stopped process's lock.
void runSuspension(QMutexLocker<QMutex> &lock, void (*suspend)())
{
    GateState &gate = state();
    gate.suspending = true;
    lock.unlock();
    suspend();
    lock.relock();
    gate.suspending = false;
    gate.idle.wakeAll();
}

} // namespace

void CommandModeGate::enter()
{
    GateState &gate = state();
    QMutexLocker lock(&gate.mutex);
    while (gate.pending || gate.suspending)
        gate.idle.wait(&gate.mutex);
    ++gate.inCommandMode;
}

void CommandModeGate::leave()
{
    GateState &gate = state();
    QMutexLocker lock(&gate.mutex);
    if (gate.inCommandMode > 0)
        --gate.inCommandMode;
    if (gate.inCommandMode == 0 && gate.pending) {
        void (*suspend)() = gate.pending;
        gate.pending = nullptr;
        runSuspension(lock, suspend);
    }
}

void CommandModeGate::suspendWhenIdle(void (*suspend)())
{
    GateState &gate = state();
    QMutexLocker lock(&gate.mutex);
    if (gate.suspending || gate.pending)
        return;
    if (gate.inCommandMode > 0)
        gate.pending = suspend;
    else
        runSuspension(lock, suspend);
}

} // namespace korva
