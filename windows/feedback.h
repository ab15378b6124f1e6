#pragma once

#include <QGroupBox>
#include <QRect>

#include "platform/controls.h"
#include "platform/window.h"

// What the small dark windows that tell of a conversion (its progress, its end) share.

// Frameless and fixed; only its size and where it stands differ from one to the other.
inline platform::WindowLayout feedbackLayout(int width, int height, int placement) {
    platform::WindowLayout l;
    l.Title = QString();
    l.Width = width;
    l.Height = height;
    l.Frame = 8;
    l.Placement = placement;
    l.HasBackColor = true;
    l.BackColor = QColor(0x33, 0x33, 0x33);
    l.Visible = true;
    l.CloseButton = false;
    l.MinimizeButton = true;
    l.MaximizeButton = false;
    l.Resizeable = false;
    l.Decorated = false;
    // A feedback window carries no menu bar of its own: it is never the one a user works in.
    l.MenuBarVisible = false;
    l.Role = platform::WindowRole::Feedback;
    return l;
}

// The group box that holds a feedback window's texts.
inline QGroupBox* feedbackGroup(QWidget* window, const QRect& place) {
    auto* group = new QGroupBox(window);
    group->setGeometry(place);
    platform::applyTextStyle(group, {12, false, Qt::white, 0});
    return group;
}
