#pragma once

#include <QtGlobal>

struct xcb_connection_t;

namespace korva::bench
{

// Watches the X server named by DISPLAY for top-level windows being mapped, on
// one connection of its own: far finer and cheaper than asking xdotool again
// and again, which costs a process and a connection each time.
class MapWatch
{
public:
    MapWatch();
    ~MapWatch();
    MapWatch(const MapWatch &) = delete;
    MapWatch &operator=(const MapWatch &) = delete;

    bool isValid() const { return m_connection != nullptr; }

    // Reads the events that have arrived; true when among them a window of the
    // process pid (by its _NET_WM_PID) was mapped.
    bool windowMapped(qint64 pid);

private:
    qint64 windowPid(quint32 window);

    xcb_connection_t *m_connection = nullptr;
    quint32 m_pidAtom = 0;
};

} // namespace korva::bench
