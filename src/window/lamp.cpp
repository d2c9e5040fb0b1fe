#include "window/lamp.h"

#include <QPainter>

namespace cassasync::window {

namespace {
constexpr int kDiameter = 16;
}

QColor lamp_colour(std::uint32_t value) {
    return QColor(static_cast<int>(value & 0xFFu), static_cast<int>((value >> 8) & 0xFFu),
                  static_cast<int>((value >> 16) & 0xFFu));
}

Lamp::Lamp(QWidget* parent) : QWidget(parent) {
    setFixedSize(kDiameter + 2, kDiameter + 2);
    // A hidden lamp keeps its place, so blinking never moves the captions.
    QSizePolicy policy = sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    setSizePolicy(policy);
}

void Lamp::set_colour(const QColor& colour) {
    if (colour == colour_) return;
    colour_ = colour;
    update();
}

QSize Lamp::sizeHint() const { return {kDiameter + 2, kDiameter + 2}; }

void Lamp::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(colour_.darker(160), 1));
    painter.setBrush(colour_);
    painter.drawEllipse(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5));
}

}  // namespace cassasync::window
