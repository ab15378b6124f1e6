#include "window.h"

#include <QCloseEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QShowEvent>
#include <QWindow>

#include "application.h"
#include "dragitem.h"
#include "exceptions.h"
#include "filetypes.h"
#include "menus.h"
#include "shell.h"
#include "x11.h"

namespace platform {

namespace {
QList<Window*>& registry() {
    static QList<Window*> windows;
    return windows;
}

// The frame of a window without the window manager's: a dark line round its edge, above
// every control, since some reach past the edge (the About window's white band).
class OwnFrame : public QWidget {
public:
    explicit OwnFrame(QWidget* window) : QWidget(window) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setGeometry(window->rect());
        raise();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(parentWidget()->palette().color(QPalette::Window).darker(220));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
};
} // namespace

Window::Window(const WindowLayout& layout) : QWidget(nullptr), layout_(layout), content_(this) {
    // A tool window is transient for the application's windows as a group, so the window
    // manager keeps it over all of them and leaves it out of the taskbar and the pager.
    const Qt::WindowFlags kind = layout.Role == WindowRole::Main ? Qt::Window : Qt::Tool;
    Qt::WindowFlags flags = kind | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (layout.CloseButton)
        flags |= Qt::WindowCloseButtonHint;
    if (layout.MinimizeButton)
        flags |= Qt::WindowMinimizeButtonHint;
    if (layout.MaximizeButton)
        flags |= Qt::WindowMaximizeButtonHint;
    // Qt brings the title bar back for any title-bar button, so a bare window asks for none.
    if (!layout.Decorated)
        flags = kind | Qt::FramelessWindowHint;
    if (layout.Role == WindowRole::Feedback) {
        flags |= Qt::WindowDoesNotAcceptFocus;
        setAttribute(Qt::WA_ShowWithoutActivating);
    }
    setWindowFlags(flags);
    setWindowTitle(layout.Title);
    applySize(layout.Height);
    if (layout.HasBackColor) {
        QPalette p = palette();
        p.setColor(QPalette::Window, layout.BackColor);
        setPalette(p);
        setAutoFillBackground(true);
    }
    registry().append(this);
}

Window::~Window() {
    registry().removeOne(this);
}

void Window::finishCreation(std::function<void()> forget) {
    forget_ = std::move(forget);
    installMenuBar();
    if (!layout_.Decorated)
        new OwnFrame(this);
    move(initialPosition());
    Open();
    if (layout_.Visible)
        Show();
}

void Window::applySize(int height) {
    if (layout_.Resizeable)
        resize(layout_.Width, height);
    else
        setFixedSize(layout_.Width, height);
}

// The bar goes above the content area rather than over it: the controls, all made by now,
// move into a content widget below the bar, keeping their positions and stacking order, so
// the layouts stay in content coordinates.
void Window::installMenuBar() {
    const Application* app = Application::current();
    if (!layout_.MenuBarVisible || !app || !app->menuBar())
        return;
    QMenuBar* bar = app->menuBar()->createFor(this);
    offerMenuCommands(bar);
    // A window without the window manager's frame draws a frame of its own; a bar inside it
    // would stand in the picture. Its commands still answer their shortcuts.
    if (!layout_.Decorated) {
        bar->hide();
        return;
    }
    const QObjectList controls = children();
    content_ = new QWidget(this);
    for (QObject* child : controls) {
        auto* control = qobject_cast<QWidget*>(child);
        if (control && !control->isWindow() && control != bar)
            control->setParent(content_);
    }
    const int barHeight = bar->sizeHint().height();
    bar->setGeometry(0, 0, layout_.Width, barHeight);
    content_->setGeometry(0, barHeight, layout_.Width, layout_.Height);
    applySize(barHeight + layout_.Height);
}

// Every command of the bar answers its shortcut in this window, shown or not, and F10 opens
// the bar's first menu, as on other desktops.
void Window::offerMenuCommands(QMenuBar* bar) {
    for (QAction* menu : bar->actions()) {
        if (menu->menu())
            addActions(menu->menu()->actions());
    }
    auto* f10 = new QShortcut(QKeySequence(Qt::Key_F10), this);
    connect(f10, &QShortcut::activated, bar, [bar] {
        if (bar->isVisible() && !bar->actions().isEmpty())
            bar->setActiveAction(bar->actions().first());
    });
}

QWidget* Window::contentArea() const {
    return content_;
}

void Window::Show() {
    // Told before the window is mapped, which is when window managers read it.
    if (QWidget* over = owner(); over && !isVisible()) {
        winId();
        windowHandle()->setTransientParent(over->window()->windowHandle());
    }
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    if (layout_.Role != WindowRole::Feedback)
        activateWindow();
}

void Window::Close() {
    if (forget_) {
        forget_();
        forget_ = nullptr;
    }
    registry().removeOne(this);
    hide();
    deleteLater();
    if (Application* app = Application::current())
        app->windowClosed();
}

int Window::Left() const {
    return contentArea()->mapToGlobal(QPoint(0, 0)).x();
}

int Window::Top() const {
    return contentArea()->mapToGlobal(QPoint(0, 0)).y();
}

QRect Window::mainScreenArea() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
}

QPoint Window::initialPosition() const {
    return centredOn(mainScreenArea());
}

QPoint Window::centredOn(const QRect& area) const {
    return QPoint(area.x() + (area.width() - width()) / 2,
                  area.y() + (area.height() - height()) / 2);
}

void Window::closeEvent(QCloseEvent* event) {
    // While a conversion runs, a request to close a window waits for nothing: it is refused.
    // A window without a close box refuses the desktop's requests too (a window manager that
    // ignores the missing box, a keyboard shortcut of its own); it closes through its own code.
    if (Shell::isBusy() || (event->spontaneous() && !layout_.CloseButton)) {
        event->ignore();
        return;
    }
    event->accept();
    Close();
}

// Qt names a window on the desktop only after its own fashion; the layout's title stands as
// it is, an empty one included.
void Window::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    x11::setWindowName(this, layout_.Title);
    // Told before the window is mapped, when window managers read it; a window that comes
    // back from the taskbar is already known.
    if (!event->spontaneous())
        x11::setDesktopRole(this, layout_.Role != WindowRole::Main,
                            layout_.Role == WindowRole::Feedback);
}

void Window::AcceptFileDrop(const QString& typeName) {
    dropTypes_.append(typeName);
    setAcceptDrops(true);
}

void Window::DropObject(DragItem&, int) {}

QList<FolderItem> Window::admittedFiles(const QMimeData* data) const {
    QList<FolderItem> admitted;
    const QList<FolderItem> files = DragItem::localFiles(data);
    for (const FolderItem& f : files) {
        for (const QString& type : dropTypes_) {
            if (fileTypeAdmits(type, f.Name())) {
                admitted.append(f);
                break;
            }
        }
    }
    return admitted;
}

void Window::dragEnterEvent(QDragEnterEvent* event) {
    if (!Shell::isBusy() && !admittedFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void Window::dragMoveEvent(QDragMoveEvent* event) {
    if (!Shell::isBusy() && !admittedFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void Window::dropEvent(QDropEvent* event) {
    const QList<FolderItem> files = admittedFiles(event->mimeData());
    if (Shell::isBusy() || files.isEmpty())
        return;
    event->acceptProposedAction();
    // The drop handler may wait on the user (a message); the application that dropped the
    // files is told that the drop is done first, and the handler runs right afterwards.
    const int action = int(event->dropAction());
    QMetaObject::invokeMethod(
        this,
        [this, files, action] {
            DragItem obj(files);
            guarded([&] { DropObject(obj, action); });
        },
        Qt::QueuedConnection);
}

QList<Window*> Window::existingWindows() {
    return registry();
}

void Window::closeAll() {
    const QList<Window*> windows = registry();
    for (Window* w : windows)
        delete w;
}

} // namespace platform
