#include "poof.h"

#include <QApplication>
#include <QBitmap>
#include <QImage>
#include <QPainter>
#include <QVariantAnimation>
#include <QWidget>

#include <algorithm>
#include <cmath>

#include "platform/x11.h"

namespace platform::desktop {

namespace {

constexpr int kDurationMs = 450;
constexpr int kMinSide = 64;
constexpr int kMaxSide = 192;

// Draws one frame of the puff, at progress 0 to 1, on a transparent square.
QImage puffFrame(int side, double progress) {
    QImage frame(side, side, QImage::Format_ARGB32_Premultiplied);
    frame.fill(Qt::transparent);
    QPainter p(&frame);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    const QPointF centre(side / 2.0, side / 2.0);
    const double fade = 1.0 - progress;
    // A ring of grey puffs that drift outwards, swell and fade.
    constexpr int kPuffs = 7;
    for (int i = 0; i < kPuffs; ++i) {
        const double angle = 2 * M_PI * i / kPuffs + progress * 0.6;
        const double reach = side * (0.08 + 0.26 * progress);
        const double radius = side * (0.10 + 0.10 * progress) * (i % 2 ? 0.85 : 1.0);
        const QPointF at = centre + QPointF(std::cos(angle), std::sin(angle)) * reach;
        p.setBrush(QColor(235, 235, 235, int(210 * fade)));
        p.drawEllipse(at, radius, radius);
        p.setBrush(QColor(160, 160, 160, int(90 * fade)));
        p.drawEllipse(at + QPointF(radius * 0.25, radius * 0.3), radius * 0.55, radius * 0.55);
    }
    p.setBrush(QColor(250, 250, 250, int(230 * fade * fade)));
    p.drawEllipse(centre, side * 0.16 * fade, side * 0.16 * fade);
    return frame;
}

// Where nothing blends translucent windows with the screen, the puff is a shaped window:
// its shape holds the pixels the puff covers, thinned out by an ordered dither where the
// puff is faint, so that what lies beneath shows through between them.
QBitmap ditheredShape(const QImage& frame) {
    static constexpr int kBayer[4][4] = {
        {0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    QImage shape(frame.size(), QImage::Format_MonoLSB);
    shape.setColor(0, QColor(Qt::white).rgb());
    shape.setColor(1, QColor(Qt::black).rgb());
    shape.fill(0);
    for (int y = 0; y < frame.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(frame.constScanLine(y));
        for (int x = 0; x < frame.width(); ++x) {
            if (qAlpha(line[x]) * 16 > (kBayer[y % 4][x % 4] * 2 + 1) * 255 / 2)
                shape.setPixel(x, y, 1);
        }
    }
    return QBitmap::fromImage(shape);
}

class Poof : public QWidget {
public:
    Poof(int side, bool translucent)
        : QWidget(nullptr, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                               Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus),
          translucent_(translucent) {
        setObjectName(QStringLiteral("poof"));
        setAttribute(Qt::WA_TranslucentBackground, translucent);
        setAttribute(Qt::WA_ShowWithoutActivating);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        resize(side, side);
        showFrame(0);
        // The animation is a child of the window, so it goes when the window goes.
        auto* animation = new QVariantAnimation(this);
        animation->setStartValue(0.0);
        animation->setEndValue(1.0);
        animation->setDuration(kDurationMs);
        animation->setEasingCurve(QEasingCurve::OutCubic);
        connect(animation, &QVariantAnimation::valueChanged, this,
                [this](const QVariant& v) { showFrame(v.toDouble()); });
        // Hidden, not closed: a window's close comes to it as an event from outside, which
        // is held back while a conversion runs, and the puff would stay on the screen.
        connect(animation, &QVariantAnimation::finished, this, [this] {
            hide();
            deleteLater();
        });
        animation->start();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        if (translucent_) {
            p.setCompositionMode(QPainter::CompositionMode_Source);
            p.drawImage(0, 0, frame_);
        } else {
            // The shape decides what shows; inside it every pixel is opaque.
            p.drawImage(0, 0,
                        frame_.convertToFormat(QImage::Format_ARGB32)
                            .convertToFormat(QImage::Format_RGB32));
        }
    }

private:
    void showFrame(double progress) {
        frame_ = puffFrame(width(), progress);
        if (!translucent_) {
            // An empty shape would mean no shape at all, the whole square shown.
            const QRegion shape(ditheredShape(frame_));
            if (shape.isEmpty()) {
                hide();
                return;
            }
            setMask(shape);
        }
        update();
    }

    bool translucent_;
    QImage frame_;
};

} // namespace

void showPoof(const QPoint& centre, const QSize& size) {
    const int side = qBound(kMinSide, qMin(size.width(), size.height()) / 4, kMaxSide);
    auto* poof = new Poof(side, x11::compositorRunning());
    poof->move(centre - QPoint(side / 2, side / 2));
    poof->show();
}

// A closed puff may wait for deletion until an outer event loop runs again: what counts is
// whether one is on the screen.
bool poofShowing() {
    const QWidgetList windows = QApplication::topLevelWidgets();
    return std::any_of(windows.begin(), windows.end(), [](const QWidget* w) {
        return w->isVisible() && w->objectName() == QLatin1String("poof");
    });
}

} // namespace platform::desktop
