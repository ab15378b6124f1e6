#include "timer.h"

#include <QList>

#include "exceptions.h"

namespace platform {

namespace {
QList<Timer*>& allTimers() {
    static QList<Timer*> timers;
    return timers;
}
int suspensionDepth = 0;
} // namespace

Timer::Timer(QObject* parent, int mode, int period) : QObject(parent), mode_(Off), period_(period) {
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &Timer::tick);
    allTimers().append(this);
    setMode(mode);
}

Timer::~Timer() {
    allTimers().removeOne(this);
}

void Timer::setMode(int mode) {
    mode_ = mode;
    timer_.stop();
    if (mode == Off)
        suspended_ = false;
    else
        start(period_);
}

void Timer::setPeriod(int milliseconds) {
    period_ = milliseconds;
    if (mode_ != Off)
        start(period_);
}

void Timer::start(int firstInterval) {
    if (suspensionDepth > 0) {
        suspended_ = true;
        remaining_ = firstInterval;
        return;
    }
    suspended_ = false;
    timer_.setSingleShot(true);
    timer_.start(firstInterval);
}

void Timer::tick() {
    if (mode_ == Single)
        mode_ = Off;
    else if (mode_ == Multiple)
        start(period_);
    guarded([this] { emit Action(); });
}

void Timer::suspendAll() {
    if (suspensionDepth++ > 0)
        return;
    for (Timer* t : allTimers()) {
        if (t->mode_ == Off || !t->timer_.isActive())
            continue;
        t->remaining_ = qMax(0, t->timer_.remainingTime());
        t->timer_.stop();
        t->suspended_ = true;
    }
}

void Timer::resumeAll() {
    if (suspensionDepth == 0 || --suspensionDepth > 0)
        return;
    for (Timer* t : allTimers()) {
        if (t->suspended_ && t->mode_ != Off)
            t->start(t->remaining_);
        t->suspended_ = false;
    }
}

} // namespace platform
