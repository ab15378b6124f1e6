#include "window.h"

#include "dragitem.h"
#include "exceptions.h"
#include "filetypes.h"
#include "shell.h"

#include <QCloseEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QGuiApplication>
#include <QScreen>

namespace platform {

namespace {
QList<Window*>& registry() {
    static QList<Window*> windows;
    return windows;
}
} // namespace

Window::Window(const WindowLayout& layout) : QWidget(nullptr), m_layout(layout) {
    Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (layout.CloseButton)
        flags |= Qt::WindowCloseButtonHint;
    if (layout.MinimizeButton)
        flags |= Qt::WindowMinimizeButtonHint;
    if (layout.MaximizeButton)
        flags |= Qt::WindowMaximizeButtonHint;
    setWindowFlags(flags);
    setWindowTitle(layout.Title);
    if (layout.Resizeable)
        resize(layout.Width, layout.Height);
    else
        setFixedSize(layout.Width, layout.Height);
    if (layout.HasBackColor) {
        QPalette p = palette();
        p.setColor(QPalette::Window, layout.BackColor);
        setPalette(p);
        setAutoFillBackground(true);
    }
    registry().append(this);
}

Window::~Window() { registry().removeOne(this); }

void Window::finishCreation(std::function<void()> forget) {
    m_forget = std::move(forget);
    move(initialPosition());
    Open();
    if (m_layout.Visible)
        Show();
}

void Window::Show() {
    show();
    raise();
    activateWindow();
}

void Window::Close() {
    if (m_forget) {
        m_forget();
        m_forget = nullptr;
    }
    registry().removeOne(this);
    hide();
    deleteLater();
}

int Window::Left() const { return geometry().x(); }

int Window::Top() const { return geometry().y(); }

QRect Window::mainScreenArea() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
}

QPoint Window::initialPosition() const { return centredOn(mainScreenArea()); }

QPoint Window::centredOn(const QRect& area) const {
    return QPoint(area.x() + (area.width() - width()) / 2,
                  area.y() + (area.height() - height()) / 2);
}

void Window::closeEvent(QCloseEvent* event) {
    // While a conversion runs, a request to close a window waits for nothing: it is refused.
    if (Shell::isBusy()) {
        event->ignore();
        return;
    }
    event->accept();
    Close();
}

void Window::AcceptFileDrop(const QString& typeName) {
    m_dropTypes.append(typeName);
    setAcceptDrops(true);
}

void Window::DropObject(DragItem&, int) {}

QList<FolderItem> Window::admittedFiles(const QMimeData* data) const {
    QList<FolderItem> admitted;
    const QList<FolderItem> files = DragItem::localFiles(data);
    for (const FolderItem& f : files) {
        for (const QString& type : m_dropTypes) {
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
    DragItem obj(files);
    const int action = int(event->dropAction());
    guarded([&] { DropObject(obj, action); });
}

QList<Window*> Window::existingWindows() { return registry(); }

void Window::closeAll() {
    const QList<Window*> windows = registry();
    for (Window* w : windows)
        delete w;
}

} // namespace platform
