#pragma once

#include <QColor>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>

#include "folderitem.h"

class QMenuBar;
class QMimeData;

namespace platform {

class DragItem;

// How a window stands among the application's others on the desktop.
enum class WindowRole {
    // A window of its own, in the taskbar and the pager.
    Main,
    // Kept over the application's main windows, out of the taskbar and the pager.
    Utility,
    // Like a utility window, and shown for a moment only: it takes no keyboard focus, and
    // the desktop treats it as a notice rather than a window to work in.
    Feedback,
};

// A window's property list, set once when the window is made. Frame and Placement are
// the layout's own codes: stored as they are, never interpreted.
struct WindowLayout {
    QString Title;
    int Width = 0;
    int Height = 0;
    int Frame = 0;
    int Placement = 0;
    bool HasBackColor = false;
    QColor BackColor;
    bool Visible = true;
    bool CloseButton = true;
    bool MinimizeButton = true;
    bool MaximizeButton = false;
    bool Resizeable = false;
    // The window manager's title bar and border. A window that has neither title nor close
    // box goes without them and draws a frame of its own.
    bool Decorated = true;
    // The window shows the application's menu bar above its content area.
    bool MenuBarVisible = true;
    WindowRole Role = WindowRole::Main;
};

class Window : public QWidget {
    Q_OBJECT
public:
    explicit Window(const WindowLayout& layout);
    ~Window() override;

    // Make visible, bring back from the taskbar or the dock if minimised, bring to the front
    // and activate: a feedback window is raised but never takes the focus.
    void Show();
    // Discard the window with its controls and data; the next reference makes a new one.
    void Close();

    // The content area's position on screen: pixels from the main screen's top left.
    int Left() const;
    int Top() const;

    const WindowLayout& layout() const { return layout_; }
    // Where the controls live: the area below the menu bar that the layout's coordinates
    // and Width x Height describe; the window itself when it shows no menu bar.
    QWidget* contentArea() const;

    // The top left at which this window stands centred on an area of the screen.
    QPoint centredOn(const QRect& area) const;
    // The main screen's working area.
    static QRect mainScreenArea();

    // From now on the window takes drops of files of this type ("special/any": every file).
    void AcceptFileDrop(const QString& typeName);

    // Every implicit window that exists now, oldest first.
    static QList<Window*> existingWindows();
    // Discards every implicit window; used when the application ends.
    static void closeAll();

protected:
    // Runs once the window has been made with all its controls.
    virtual void Open() {}
    // Runs for a drop that carries at least one admitted local file.
    virtual void DropObject(DragItem& obj, int action);
    // Where the window first appears, as the content area's top left on screen.
    virtual QPoint initialPosition() const;
    // The window this one belongs to, which the window manager keeps it over (as transient
    // for it); none by default.
    virtual QWidget* owner() const { return nullptr; }

    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    template <class T> friend class Implicit;
    void finishCreation(std::function<void()> forget);
    QList<FolderItem> admittedFiles(const QMimeData* data) const;
    void installMenuBar();
    void offerMenuCommands(QMenuBar* bar);
    void applySize(int height);

    WindowLayout layout_;
    QWidget* content_;
    std::function<void()> forget_;
    QStringList dropTypes_;
};

// The one instance of window class T, made on first reference and made afresh after it
// has been closed.
template <class T> class Implicit {
public:
    static T& instance() {
        if (!slot()) {
            auto* window = new T;
            slot() = window;
            window->finishCreation([] { slot() = nullptr; });
        }
        return *slot();
    }
    static T* existing() { return slot().data(); }

private:
    static QPointer<T>& slot() {
        static QPointer<T> window;
        return window;
    }
};

} // namespace platform
