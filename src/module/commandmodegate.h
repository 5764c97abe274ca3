#pragma once

namespace korva
{

// Process-wide: how many modules are in command mode right now, across every
// thread, and a suspension (the terminal's stop key) that must not leave a
// module there. A suspension asked for while none is in command mode runs at
// once; otherwise it runs on the thread whose leave() brings the count to zero.
// While it is pending or running, enter() waits, so no new "+++" starts.
// One engine per thread: a thread that waits in enter() cannot leave.
class CommandModeGate
{
public:
    // Just before "+++" is written.
    static void enter();
    // Once "---" was written, or the line is gone and nothing more can be sent.
    static void leave();
    // Runs `suspend` as soon as no module is in command mode (at once if none
    // is) and holds enter() until it has returned. A second request while one
    // is pending or running is the same request.
    static void suspendWhenIdle(void (*suspend)());
};

} // namespace korva
