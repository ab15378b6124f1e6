#pragma once

#include <QObject>
#include <QTimer>

namespace platform {

// A window's timer. Mode 0 stops it, 1 ticks once after the period (in milliseconds), 2 ticks
// every period. Each tick is an event of the GUI loop, so none comes while a handler runs.
class Timer : public QObject {
    Q_OBJECT
public:
    enum { Off = 0, Single = 1, Multiple = 2 };

    explicit Timer(QObject* parent, int mode = Off, int period = 1000);
    ~Timer() override;

    int Mode() const { return mode_; }
    void setMode(int mode);
    void setPeriod(int milliseconds);

    // Holds every running timer while a shell command runs, and lets them go on after it.
    static void suspendAll();
    static void resumeAll();

signals:
    void Action();

private:
    void start(int firstInterval);
    void tick();

    QTimer timer_;
    int mode_;
    int period_;
    bool suspended_ = false;
    int remaining_ = 0;
};

} // namespace platform
