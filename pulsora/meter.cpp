#include "meter.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

namespace {
constexpr double kBlockPitch = 6.0;  // one block every 6 pixels
constexpr double kBlockWidth = 4.0;
constexpr double kBlockHeight = 20.0;
}  // namespace

Meter::Meter(QWidget* parent) : QProgressBar(parent) {}

int Meter::blockCount() const {
    // The bar fills from |minimum| towards |maximum|: for -50 ... 0 the
    // fraction is (50 - |value|) / 50.
    const int lo = static_cast<int>(std::fabs(static_cast<double>(minimum())));
    const int hi = static_cast<int>(std::fabs(static_cast<double>(maximum())));
    if (hi == lo) return 0;  // a range with |min| == |max| has no scale
    const float fraction = (static_cast<float>(std::abs(value())) - static_cast<float>(lo)) /
                           static_cast<float>(hi - lo);
    const double blocks = (rect().width() / kBlockPitch) * fraction;
    if (!(blocks > 0.0)) return 0;
    // A value beyond the range would paint past the widget; stop at its edge.
    return static_cast<int>(std::min(blocks, rect().width() / kBlockPitch));
}

void Meter::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor blockColour(40, 60, 150, 250);
    painter.setBrush(blockColour);
    painter.setOpacity(1.0);
    painter.setBackground(QColor(0, 255, 0, 128));  // set, never drawn

    const int n = blockCount();
    for (int i = 0; i < n; ++i)
        painter.fillRect(QRectF(i * kBlockPitch, 0.0, kBlockWidth, kBlockHeight), blockColour);
}
