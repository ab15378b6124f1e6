#include "busybar.h"

#include <QAccessibleWidget>
#include <QPainter>
#include <QVariantAnimation>

namespace platform {

namespace {
constexpr int kSweepMs = 1200;
constexpr double kBlockShare = 0.25;

// Screen readers learn that the bar tells of work under way, not of a fraction done.
class BusyBarAccessible : public QAccessibleWidget {
public:
    explicit BusyBarAccessible(QWidget* bar) : QAccessibleWidget(bar, QAccessible::ProgressBar) {}
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        const auto* bar = static_cast<const QProgressBar*>(widget());
        s.busy = bar->minimum() == 0 && bar->maximum() == 0;
        return s;
    }
};

QAccessibleInterface* accessibleBusyBar(const QString& className, QObject* object) {
    if (className == QLatin1String(BusyBar::staticMetaObject.className()) && object &&
        object->isWidgetType())
        return new BusyBarAccessible(static_cast<QWidget*>(object));
    return nullptr;
}
} // namespace

BusyBar::BusyBar(QWidget* parent) : QProgressBar(parent), slide_(new QVariantAnimation(this)) {
    static const bool described = (QAccessible::installFactory(accessibleBusyBar), true);
    Q_UNUSED(described);
    slide_->setStartValue(0.0);
    slide_->setKeyValueAt(0.5, 1.0);
    slide_->setEndValue(0.0);
    slide_->setDuration(2 * kSweepMs);
    slide_->setEasingCurve(QEasingCurve::InOutSine);
    slide_->setLoopCount(-1);
    connect(slide_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        position_ = v.toDouble();
        update();
    });
}

QRect BusyBar::blockRect() const {
    const QRect trough = rect().adjusted(2, 2, -2, -2);
    const int width = qMax(8, int(trough.width() * kBlockShare));
    const int left = trough.left() + int((trough.width() - width) * position_);
    return QRect(left, trough.top(), width, trough.height());
}

void BusyBar::paintEvent(QPaintEvent* event) {
    if (!busy()) {
        QProgressBar::paintEvent(event);
        return;
    }
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    p.setPen(pal.color(QPalette::Mid));
    p.setBrush(pal.color(QPalette::Base));
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
    p.setPen(Qt::NoPen);
    p.setBrush(pal.color(QPalette::Highlight));
    p.drawRoundedRect(blockRect(), 2, 2);
}

void BusyBar::showEvent(QShowEvent* event) {
    QProgressBar::showEvent(event);
    slide_->start();
}

void BusyBar::hideEvent(QHideEvent* event) {
    slide_->stop();
    QProgressBar::hideEvent(event);
}

} // namespace platform
