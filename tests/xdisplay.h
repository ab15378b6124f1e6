#pragma once

#include <QImage>
#include <QList>
#include <QRect>
#include <QString>
#include <QStringList>

struct _XDisplay;

namespace testsupport {

// A connection of our own to an X server, for what a person would see on it: the windows a
// program has mapped, their names and frames, the focus, and the pixels on the screen.
class XDisplay {
public:
    using Id = unsigned long;

    explicit XDisplay(const QString& name);
    ~XDisplay();
    XDisplay(const XDisplay&) = delete;
    XDisplay& operator=(const XDisplay&) = delete;

    bool isOpen() const { return display_ != nullptr; }

    // Paints the bare desktop in one colour, so that black on the screen is never the desktop.
    void setDesktopColour(QRgb colour);
    // Whether a window manager has announced itself on the root window.
    bool hasWindowManager();

    // The mapped top-level windows of the process with this id: the window manager's
    // clients when one runs, the root window's children otherwise.
    QList<Id> windowsOf(qint64 pid, bool overrideRedirect = false);
    QRect geometry(Id window);
    // The window manager's frame around the window: left, right, top, bottom.
    QList<long> frameExtents(Id window);
    // The size of what holds the window on the root: its frame, or the window itself.
    QSize outerSize(Id window);
    // Whether the window tells the window manager that it cannot be resized.
    bool fixedSize(Id window);
    // _NET_WM_NAME and WM_NAME; a missing one reads as null.
    QString netName(Id window);
    QString name(Id window);
    // The names of the atoms a window property lists, as _NET_WM_STATE and
    // _NET_WM_WINDOW_TYPE do.
    QStringList atomNames(Id window, const char* property);
    // The window manager's clients, bottom to top.
    QList<Id> stacking();
    bool hasIcon(Id window);
    // WM_CLASS: the instance name, then the class name.
    QStringList windowClass(Id window);
    Id activeWindow();
    Id inputFocus();
    // Whether another client holds the keyboard, as an open menu does.
    bool keyboardGrabbed();
    QImage grab(const QRect& area);

private:
    unsigned long atom(const char* name);
    QByteArray property(Id window, const char* name, unsigned long* type = nullptr);
    QList<Id> idList(Id window, const char* name);

    _XDisplay* display_ = nullptr;
};

} // namespace testsupport
