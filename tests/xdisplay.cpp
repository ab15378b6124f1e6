#include "xdisplay.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cstring>

namespace testsupport {

namespace {
// Windows come and go while they are looked at; a request about one that has just gone fails,
// which Xlib would otherwise answer by ending the process.
int ignoreError(Display*, XErrorEvent*) {
    return 0;
}
} // namespace

XDisplay::XDisplay(const QString& name) : display_(XOpenDisplay(name.toLocal8Bit().constData())) {
    XSetErrorHandler(ignoreError);
}

XDisplay::~XDisplay() {
    if (display_)
        XCloseDisplay(display_);
}

unsigned long XDisplay::atom(const char* name) {
    return XInternAtom(display_, name, False);
}

QByteArray XDisplay::property(Id window, const char* name, unsigned long* type) {
    Atom actualType = 0;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    QByteArray result;
    if (XGetWindowProperty(display_, window, atom(name), 0, 1 << 16, False, AnyPropertyType,
                           &actualType, &format, &items, &after, &data) == Success &&
        actualType != None) {
        // Xlib hands 32-bit items over as longs.
        const int itemSize = format == 32 ? int(sizeof(long)) : format / 8;
        result = QByteArray(reinterpret_cast<const char*>(data), int(items) * itemSize);
        if (result.isNull())
            result = QByteArray("");
    }
    if (data)
        XFree(data);
    if (type)
        *type = actualType;
    return result;
}

QList<XDisplay::Id> XDisplay::idList(Id window, const char* name) {
    const QByteArray raw = property(window, name);
    QList<Id> ids;
    for (int i = 0; i + int(sizeof(long)) <= raw.size(); i += int(sizeof(long))) {
        long id = 0;
        std::memcpy(&id, raw.constData() + i, sizeof(long));
        ids.append(Id(id));
    }
    return ids;
}

void XDisplay::setDesktopColour(QRgb colour) {
    const Window root = DefaultRootWindow(display_);
    XSetWindowBackground(display_, root, colour & 0xFFFFFF);
    XClearWindow(display_, root);
    XSync(display_, False);
}

bool XDisplay::hasWindowManager() {
    return !idList(DefaultRootWindow(display_), "_NET_SUPPORTING_WM_CHECK").isEmpty();
}

QList<XDisplay::Id> XDisplay::windowsOf(qint64 pid, bool overrideRedirect) {
    const Window root = DefaultRootWindow(display_);
    QList<Id> candidates;
    if (!overrideRedirect)
        candidates = idList(root, "_NET_CLIENT_LIST");
    if (candidates.isEmpty() || overrideRedirect) {
        Window rootReturn = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(display_, root, &rootReturn, &parent, &children, &count)) {
            for (unsigned int i = 0; i < count; ++i)
                candidates.append(children[i]);
            XFree(children);
        }
    }
    QList<Id> found;
    for (const Id w : candidates) {
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(display_, w, &attributes) || attributes.map_state != IsViewable ||
            bool(attributes.override_redirect) != overrideRedirect)
            continue;
        const QList<Id> owner = idList(w, "_NET_WM_PID");
        if (!owner.isEmpty() && qint64(owner.first()) == pid)
            found.append(w);
    }
    return found;
}

QRect XDisplay::geometry(Id window) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display_, window, &attributes))
        return {};
    int x = 0;
    int y = 0;
    Window child = 0;
    XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
    return QRect(x, y, attributes.width, attributes.height);
}

QList<long> XDisplay::frameExtents(Id window) {
    QList<long> extents;
    for (const Id value : idList(window, "_NET_FRAME_EXTENTS"))
        extents.append(long(value));
    return extents;
}

QSize XDisplay::outerSize(Id window) {
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display_, window, &root, &parent, &children, &count))
        return {};
    if (children)
        XFree(children);
    return geometry(parent == root ? window : parent).size();
}

bool XDisplay::fixedSize(Id window) {
    XSizeHints hints;
    long supplied = 0;
    if (!XGetWMNormalHints(display_, window, &hints, &supplied))
        return false;
    return (hints.flags & PMinSize) && (hints.flags & PMaxSize) &&
           hints.min_width == hints.max_width && hints.min_height == hints.max_height;
}

QString XDisplay::netName(Id window) {
    const QByteArray raw = property(window, "_NET_WM_NAME");
    return raw.isNull() ? QString() : QString::fromUtf8(raw);
}

QString XDisplay::name(Id window) {
    const QByteArray raw = property(window, "WM_NAME");
    return raw.isNull() ? QString() : QString::fromUtf8(raw);
}

QStringList XDisplay::atomNames(Id window, const char* property) {
    QStringList names;
    for (const Id a : idList(window, property)) {
        char* name = XGetAtomName(display_, Atom(a));
        if (name) {
            names.append(QString::fromLatin1(name));
            XFree(name);
        }
    }
    return names;
}

QList<XDisplay::Id> XDisplay::stacking() {
    return idList(DefaultRootWindow(display_), "_NET_CLIENT_LIST_STACKING");
}

bool XDisplay::hasIcon(Id window) {
    return property(window, "_NET_WM_ICON").size() > int(2 * sizeof(long));
}

QStringList XDisplay::windowClass(Id window) {
    QStringList parts = QString::fromLatin1(property(window, "WM_CLASS")).split(QChar(0));
    parts.removeAll(QString());
    return parts;
}

XDisplay::Id XDisplay::activeWindow() {
    const QList<Id> active = idList(DefaultRootWindow(display_), "_NET_ACTIVE_WINDOW");
    return active.isEmpty() ? 0 : active.first();
}

XDisplay::Id XDisplay::inputFocus() {
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(display_, &focus, &revert);
    return focus;
}

bool XDisplay::keyboardGrabbed() {
    const int result = XGrabKeyboard(display_, DefaultRootWindow(display_), False, GrabModeAsync,
                                     GrabModeAsync, CurrentTime);
    if (result == GrabSuccess)
        XUngrabKeyboard(display_, CurrentTime);
    XSync(display_, False);
    return result == AlreadyGrabbed;
}

QImage XDisplay::grab(const QRect& area) {
    const QRect screen(0, 0, DisplayWidth(display_, DefaultScreen(display_)),
                       DisplayHeight(display_, DefaultScreen(display_)));
    const QRect r = area.intersected(screen);
    if (r.isEmpty())
        return {};
    XImage* shot = XGetImage(display_, DefaultRootWindow(display_), r.x(), r.y(),
                             unsigned(r.width()), unsigned(r.height()), AllPlanes, ZPixmap);
    if (!shot)
        return {};
    QImage image(r.size(), QImage::Format_RGB32);
    for (int y = 0; y < r.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < r.width(); ++x) {
            const unsigned long p = XGetPixel(shot, x, y);
            line[x] = qRgb(int((p & shot->red_mask) >> 16), int((p & shot->green_mask) >> 8),
                           int(p & shot->blue_mask));
        }
    }
    XDestroyImage(shot);
    return image;
}

} // namespace testsupport
