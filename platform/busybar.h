#pragma once

#include <QProgressBar>

class QVariantAnimation;

namespace platform {

// A progress bar whose range 0 of 0 shows a short block sliding to and fro in an empty
// trough, so that it never reads as a fraction done (a full, striped bar reads as
// "finished"). It moves on a Qt animation, which goes on while a shell command runs.
class BusyBar : public QProgressBar {
    Q_OBJECT
public:
    explicit BusyBar(QWidget* parent);

    // Where the sliding block stands now, in the bar's coordinates.
    QRect blockRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    bool busy() const { return minimum() == 0 && maximum() == 0; }
    QVariantAnimation* slide_;
    double position_ = 0;
};

} // namespace platform
