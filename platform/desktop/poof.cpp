#include "poof.h"

#include <QPainter>
#include <QVariantAnimation>
#include <QWidget>

#include <cmath>

namespace platform::desktop {

namespace {

constexpr int DurationMs = 450;
constexpr int MinSide = 64;
constexpr int MaxSide = 192;

class Poof : public QWidget {
public:
    explicit Poof(int side)
        : QWidget(nullptr, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                               Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus) {
        setObjectName(QStringLiteral("poof"));
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_ShowWithoutActivating);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_DeleteOnClose);
        resize(side, side);
        // The animation is a child of the window, so it goes when the window goes.
        auto* animation = new QVariantAnimation(this);
        animation->setStartValue(0.0);
        animation->setEndValue(1.0);
        animation->setDuration(DurationMs);
        animation->setEasingCurve(QEasingCurve::OutCubic);
        connect(animation, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
            m_progress = v.toDouble();
            update();
        });
        connect(animation, &QVariantAnimation::finished, this, &QWidget::close);
        animation->start();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        const double side = width();
        const QPointF centre(side / 2, side / 2);
        const double fade = 1.0 - m_progress;
        // A ring of grey puffs that drift outwards, swell and fade.
        constexpr int Puffs = 7;
        for (int i = 0; i < Puffs; ++i) {
            const double angle = 2 * M_PI * i / Puffs + m_progress * 0.6;
            const double reach = side * (0.08 + 0.26 * m_progress);
            const double radius = side * (0.10 + 0.10 * m_progress) * (i % 2 ? 0.85 : 1.0);
            const QPointF at = centre + QPointF(std::cos(angle), std::sin(angle)) * reach;
            p.setBrush(QColor(235, 235, 235, int(210 * fade)));
            p.drawEllipse(at, radius, radius);
            p.setBrush(QColor(160, 160, 160, int(90 * fade)));
            p.drawEllipse(at + QPointF(radius * 0.25, radius * 0.3), radius * 0.55,
                          radius * 0.55);
        }
        p.setBrush(QColor(250, 250, 250, int(230 * fade * fade)));
        p.drawEllipse(centre, side * 0.16 * (1 - m_progress), side * 0.16 * (1 - m_progress));
    }

private:
    double m_progress = 0;
};

} // namespace

void showPoof(const QPoint& centre, const QSize& size) {
    const int side = qBound(MinSide, qMin(size.width(), size.height()) / 4, MaxSide);
    auto* poof = new Poof(side);
    poof->move(centre - QPoint(side / 2, side / 2));
    poof->show();
}

} // namespace platform::desktop
