#include "x11.h"

#include <QGuiApplication>
#include <QList>
#include <QWidget>

#include <cstdlib>
#include <xcb/xcb.h>

namespace platform::x11 {

namespace {

xcb_connection_t* connection() {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t atom(xcb_connection_t* c, const QByteArray& name, bool onlyIfExists = false) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(c, onlyIfExists, uint16_t(name.size()), name.constData());
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(c, cookie, nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return result;
}

// The screen the application's display names, as in ":0.1"; the first one by default.
int screenNumber() {
    char* host = nullptr;
    int display = 0;
    int screen = 0;
    const QByteArray name = qgetenv("DISPLAY");
    if (name.isEmpty() || !xcb_parse_display(name.constData(), &host, &display, &screen))
        return 0;
    std::free(host);
    return screen;
}

} // namespace

void setWindowName(QWidget* window, const QString& name) {
    xcb_connection_t* c = connection();
    if (!c || !window->isWindow())
        return;
    const auto id = xcb_window_t(window->winId());
    const QByteArray text = name.toUtf8();
    const xcb_atom_t utf8 = atom(c, "UTF8_STRING");
    for (const xcb_atom_t property : {atom(c, "_NET_WM_NAME"), xcb_atom_t(XCB_ATOM_WM_NAME)}) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, property, utf8, 8, uint32_t(text.size()),
                            text.constData());
    }
    xcb_flush(c);
}

namespace {
QList<xcb_atom_t> atomList(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property) {
    QList<xcb_atom_t> atoms;
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        c, xcb_get_property(c, false, window, property, XCB_ATOM_ATOM, 0, 64), nullptr);
    if (reply && reply->format == 32) {
        const auto* data = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
        for (int i = 0; i < xcb_get_property_value_length(reply) / 4; ++i)
            atoms.append(data[i]);
    }
    std::free(reply);
    return atoms;
}

void setAtomList(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property,
                 const QList<xcb_atom_t>& atoms) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, property, XCB_ATOM_ATOM, 32,
                        uint32_t(atoms.size()), atoms.constData());
}
} // namespace

void setDesktopRole(QWidget* window, bool outOfTaskbar, bool feedback) {
    xcb_connection_t* c = connection();
    if (!c || !window->isWindow())
        return;
    const auto id = xcb_window_t(window->winId());
    if (outOfTaskbar) {
        // Qt adds its own states to these when it maps the window, and keeps them.
        const xcb_atom_t state = atom(c, "_NET_WM_STATE");
        QList<xcb_atom_t> states = atomList(c, id, state);
        for (const char* name : {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"}) {
            const xcb_atom_t a = atom(c, name);
            if (!states.contains(a))
                states.append(a);
        }
        setAtomList(c, id, state, states);
    }
    if (feedback) {
        setAtomList(
            c, id, atom(c, "_NET_WM_WINDOW_TYPE"),
            {atom(c, "_NET_WM_WINDOW_TYPE_NOTIFICATION"), atom(c, "_NET_WM_WINDOW_TYPE_UTILITY")});
    }
    xcb_flush(c);
}

bool compositorRunning() {
    xcb_connection_t* c = connection();
    if (!c)
        return true;
    const xcb_atom_t selection = atom(c, "_NET_WM_CM_S" + QByteArray::number(screenNumber()), true);
    if (selection == XCB_ATOM_NONE)
        return false;
    xcb_get_selection_owner_reply_t* reply =
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
    const bool owned = reply && reply->owner != XCB_WINDOW_NONE;
    std::free(reply);
    return owned;
}

} // namespace platform::x11
