#pragma once
// Picture pairs with a known alignment, for the alignment tests and benchmark: the after picture
// is a scene photographed again through a known similarity, with another exposure, white balance
// and sensor noise.

#include "align/Similarity.h"

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <random>

namespace SyntheticPair {

struct Exposure {
    double gain[3] = {1.0, 1.0, 1.0}; // red, green, blue: brightness and white balance
    double offset = 0.0;
    double noise = 0.0; // standard deviation of the added noise, in levels
    unsigned seed = 1;
};

inline void expose(QImage &image, const Exposure &e)
{
    std::mt19937 random(e.seed);
    std::normal_distribution<double> noise(0.0, e.noise > 0 ? e.noise : 1.0);
    const auto level = [&](int v, int channel) {
        const double n = e.noise > 0 ? noise(random) : 0.0;
        return std::clamp(int(std::lround(v * e.gain[channel] + e.offset + n)), 0, 255);
    };
    for (int y = 0; y < image.height(); ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = qRgb(level(qRed(line[x]), 0), level(qGreen(line[x]), 1), level(qBlue(line[x]), 2));
    }
}

// The picture of `size` whose pixel p shows the scene at afterToBefore.map(p); what lies outside
// the scene is a plain wall.
inline QImage photograph(const QImage &scene, const Align::Similarity &afterToBefore, QSize size,
                         const Exposure &exposure)
{
    QImage out(size, QImage::Format_RGB32);
    out.fill(QColor(128, 124, 120));
    {
        QPainter g(&out);
        g.setRenderHint(QPainter::SmoothPixmapTransform);
        g.setRenderHint(QPainter::Antialiasing);
        g.setTransform(afterToBefore.inverted().toTransform());
        g.drawImage(0, 0, scene);
    }
    expose(out, exposure);
    return out;
}

// A busy scene of coloured shapes and words, different for every seed.
inline QImage randomScene(QSize size, unsigned seed)
{
    std::mt19937 random(seed);
    const auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(random); };
    const auto colour = [&] { return QColor(int(uniform(0, 255)), int(uniform(0, 255)), int(uniform(0, 255))); };
    QImage image(size, QImage::Format_RGB32);
    const double w = size.width(), h = size.height(), unit = std::min(w, h);
    QPainter g(&image);
    g.setRenderHint(QPainter::Antialiasing);
    QLinearGradient bg(0, 0, w, h);
    bg.setColorAt(0, colour());
    bg.setColorAt(1, colour());
    g.fillRect(image.rect(), bg);
    for (int i = 0; i < 90; ++i) {
        g.setPen(QPen(colour(), uniform(1, unit * 0.01)));
        g.setBrush(colour());
        const QPointF c(uniform(0, w), uniform(0, h));
        const double r = uniform(unit * 0.01, unit * 0.08);
        switch (i % 3) {
        case 0: g.drawEllipse(c, r, r * uniform(0.4, 1.0)); break;
        case 1:
            g.save();
            g.translate(c);
            g.rotate(uniform(0, 90));
            g.drawRect(QRectF(-r, -r * 0.6, 2 * r, 1.2 * r));
            g.restore();
            break;
        default: {
            QPainterPath star;
            for (int k = 0; k < 10; ++k) {
                const double a = k * 0.6283185307 + uniform(-0.1, 0.1), d = k % 2 ? r * 0.45 : r;
                const QPointF p(c.x() + d * std::cos(a), c.y() + d * std::sin(a));
                k ? star.lineTo(p) : star.moveTo(p);
            }
            star.closeSubpath();
            g.drawPath(star);
        }
        }
    }
    QFont font;
    for (int i = 0; i < 10; ++i) {
        font.setPixelSize(int(uniform(unit * 0.02, unit * 0.05)));
        g.setFont(font);
        g.setPen(colour());
        g.drawText(QPointF(uniform(0, w * 0.8), uniform(h * 0.05, h)),
                   QStringLiteral("Scene %1 row %2").arg(seed).arg(int(uniform(100, 999))));
    }
    return image;
}

} // namespace SyntheticPair
