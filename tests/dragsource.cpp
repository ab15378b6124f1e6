// A window that starts a real drag of the files named on its command line when the mouse is
// pressed on it, as a file manager does. The on-screen tests drive it with X input events and
// read on its standard output what it sees, a line each: "shown", "dragging", "accepted" once
// the window under the pointer says it would take the files, "refused" when it says it would
// not, and at the end "dropped" or "not dropped". So a test can let go of the button only once
// the target has answered, however long a busy machine takes to.
#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>
#include <QWidget>

#include <cstdio>

namespace {
class DragSource : public QWidget {
public:
    explicit DragSource(QList<QUrl> urls) : urls_(std::move(urls)) {
        setWindowTitle(QStringLiteral("drag source"));
        setFixedSize(120, 120);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter(this).fillRect(rect(), Qt::darkGreen);
        if (!shown_) {
            shown_ = true;
            say("shown");
        }
    }
    void mousePressEvent(QMouseEvent*) override {
        auto* drag = new QDrag(this);
        auto* data = new QMimeData;
        data->setUrls(urls_);
        drag->setMimeData(data);
        connect(drag, &QDrag::actionChanged, this, [](Qt::DropAction action) {
            say(action == Qt::IgnoreAction ? "refused" : "accepted");
        });
        say("dragging");
        say(drag->exec(Qt::CopyAction) == Qt::CopyAction ? "dropped" : "not dropped");
    }

private:
    static void say(const char* what) {
        std::printf("%s\n", what);
        std::fflush(stdout);
    }

    QList<QUrl> urls_;
    bool shown_ = false;
};
} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QList<QUrl> urls;
    for (int i = 1; i < argc; ++i)
        urls.append(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[i])));
    DragSource source(urls);
    source.move(0, 0);
    source.show();
    return app.exec();
}
