#pragma once

#include <QColor>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QToolButton>
#include <QWidget>

namespace platform {

// How a control's text looks. Sizes are pixels, the way the layouts were drawn.
struct TextStyle {
    int Size = 12;
    bool Bold = false;
    QColor Color = Qt::black;
    int TextAlign = 0; // 0 left, 1 centre, 2 right
};

// Layouts give the position of a control inside a container (a panel, a group box) in the
// window's coordinates; this is that rectangle in the container's own.
QRect inContainer(const QRect& windowRect, const QWidget* container);

// Applies a layout's font and colour to any control.
void applyTextStyle(QWidget* control, const TextStyle& style);

// A label of one or more lines; "\r" in the text starts a new line. A label that names a
// control (its buddy) names it to screen readers too, and a click on it acts as a click on
// a button, or puts the focus in any other control.
class StaticText : public QLabel {
    Q_OBJECT
public:
    StaticText(QWidget* parent, const QRect& geometry, const QString& text, const TextStyle& style);
    void setBuddy(QWidget* control);

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// A filled rectangle with rounded corners (corner ovals of 0 make square ones).
class RoundRectangle : public QWidget {
    Q_OBJECT
public:
    RoundRectangle(QWidget* parent, const QRect& geometry, const QColor& fill, const QColor& border,
                   int borderWidth, int ovalWidth, int ovalHeight);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor fill_;
    QColor border_;
    int borderWidth_;
    int ovalWidth_;
    int ovalHeight_;
};

// A sunken frame that can hold a picture; the Drop Screen's holds none.
class ImageWell : public QFrame {
    Q_OBJECT
public:
    ImageWell(QWidget* parent, const QRect& geometry);
};

// A square push button that shows a picture, named for screen readers by what it does. It
// takes no keyboard focus when clicked, but Tab reaches it, and Space or Return presses it.
class BevelButton : public QToolButton {
    Q_OBJECT
public:
    BevelButton(QWidget* parent, const QRect& geometry, const QIcon& icon, int iconSide,
                const QString& name);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// A surface that draws its backdrop picture scaled into its bounds.
class Canvas : public QWidget {
    Q_OBJECT
public:
    Canvas(QWidget* parent, const QRect& geometry);
    void setBackdrop(const QIcon& picture);
    const QIcon& Backdrop() const { return backdrop_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QIcon backdrop_;
};

} // namespace platform
