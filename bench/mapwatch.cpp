#include "mapwatch.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace korva::bench
{

MapWatch::MapWatch()
{
    int screenNumber = 0;
    xcb_connection_t *connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next(&screens);
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, screens.data->root, XCB_CW_EVENT_MASK, &mask);
    const char *name = "_NET_WM_PID";
    xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name), nullptr);
    if (!atom) {
        xcb_disconnect(connection);
        return;
    }
    m_pidAtom = atom->atom;
    std::free(atom);
    m_connection = connection;
}

MapWatch::~MapWatch()
{
    if (m_connection)
        xcb_disconnect(m_connection);
}

qint64 MapWatch::windowPid(quint32 window)
{
    xcb_get_property_reply_t *reply = xcb_get_property_reply(
        m_connection, xcb_get_property(m_connection, 0, window, m_pidAtom, XCB_ATOM_CARDINAL, 0, 1),
        nullptr);
    if (!reply)
        return -1;
    qint64 pid = -1;
    if (xcb_get_property_value_length(reply) == 4)
        pid = *static_cast<const uint32_t *>(xcb_get_property_value(reply));
    std::free(reply);
    return pid;
}

bool MapWatch::windowMapped(qint64 pid)
{
    bool mapped = false;
    while (xcb_generic_event_t *event = xcb_poll_for_event(m_connection)) {
        if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY) {
            const auto *map = reinterpret_cast<const xcb_map_notify_event_t *>(event);
            mapped = mapped || windowPid(map->window) == pid;
        }
        std::free(event);
    }
    return mapped;
}

} // namespace korva::bench
