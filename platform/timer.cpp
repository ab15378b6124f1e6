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

Timer::Timer(QObject* parent, int mode, int period)
    : QObject(parent), m_mode(Off), m_period(period) {
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &Timer::tick);
    allTimers().append(this);
    setMode(mode);
}

Timer::~Timer() {
    allTimers().removeOne(this);
}

void Timer::setMode(int mode) {
    m_mode = mode;
    m_timer.stop();
    if (mode == Off)
        m_suspended = false;
    else
        start(m_period);
}

void Timer::setPeriod(int milliseconds) {
    m_period = milliseconds;
    if (m_mode != Off)
        start(m_period);
}

void Timer::start(int firstInterval) {
    if (suspensionDepth > 0) {
        m_suspended = true;
        m_remaining = firstInterval;
        return;
    }
    m_suspended = false;
    m_timer.setSingleShot(true);
    m_timer.start(firstInterval);
}

void Timer::tick() {
    if (m_mode == Single)
        m_mode = Off;
    else if (m_mode == Multiple)
        start(m_period);
    guarded([this] { emit Action(); });
}

void Timer::suspendAll() {
    if (suspensionDepth++ > 0)
        return;
    for (Timer* t : allTimers()) {
        if (t->m_mode == Off || !t->m_timer.isActive())
            continue;
        t->m_remaining = qMax(0, t->m_timer.remainingTime());
        t->m_timer.stop();
        t->m_suspended = true;
    }
}

void Timer::resumeAll() {
    if (suspensionDepth == 0 || --suspensionDepth > 0)
        return;
    for (Timer* t : allTimers()) {
        if (t->m_suspended && t->m_mode != Off)
            t->start(t->m_remaining);
        t->m_suspended = false;
    }
}

} // namespace platform
