// A register's status lamp: a small filled circle in the colour of the register's last
// reachability check, neutral grey before the first one. Blinking is the window's job
// (it hides and shows the lamp); the lamp only paints itself.
#pragma once

#include <QColor>
#include <QWidget>

#include <cstdint>

namespace cassasync::window {

// The colour of a lamp whose register has not been checked yet.
inline constexpr QRgb kNeutralLamp = qRgb(176, 176, 176);

// Board colours are 24-bit values with red in the low byte (green 65280, red 255).
QColor lamp_colour(std::uint32_t value);

class Lamp : public QWidget {
    Q_OBJECT
public:
    explicit Lamp(QWidget* parent = nullptr);

    void set_colour(const QColor& colour);
    QColor colour() const { return colour_; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor colour_{kNeutralLamp};
};

}  // namespace cassasync::window
