#pragma once
// The annotated real photos beside the source tree (../shared/faces: eyes.json, pairs.json) for
// tests and benchmarks, and the variants made of them: turned, framed from further away, at
// another resolution. Each variant knows where the photo's pixels went, so the annotated eye
// centres go with them.

#include "align/Similarity.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QPainter>
#include <QVector>

#include <cmath>

namespace RealFaces {

struct Photo {
    QImage image;
    QPointF eyes[2]; // ordered by x, stored file's pixels
    double eyeDistance() const { return std::hypot(eyes[1].x() - eyes[0].x(), eyes[1].y() - eyes[0].y()); }
};

struct Set {
    QMap<QString, Photo> photos;
    QVector<QPair<QString, QString>> pairs; // before, after: one person
    bool isEmpty() const { return photos.isEmpty(); }
};

// Everything in `folder`; empty when it is not there. Photos are decoded upright.
inline Set load(const QString &folder)
{
    Set set;
    QFile eyes(folder + QStringLiteral("/eyes.json")), pairs(folder + QStringLiteral("/pairs.json"));
    if (!eyes.open(QIODevice::ReadOnly) || !pairs.open(QIODevice::ReadOnly))
        return set;
    const QJsonObject all = QJsonDocument::fromJson(eyes.readAll()).object();
    for (auto it = all.begin(); it != all.end(); ++it) {
        Photo p;
        p.image = QImage(folder + QLatin1Char('/') + it.key()).convertToFormat(QImage::Format_RGB32);
        const QJsonArray e = it.value()
                                 .toObject()
                                 .value(QStringLiteral("faces"))
                                 .toArray()
                                 .at(0)
                                 .toObject()
                                 .value(QStringLiteral("eyes"))
                                 .toArray();
        for (int i = 0; i < 2; ++i)
            p.eyes[i] = QPointF(e.at(i).toArray().at(0).toDouble(), e.at(i).toArray().at(1).toDouble());
        if (!p.image.isNull())
            set.photos.insert(it.key(), p);
    }
    for (const QJsonValue &v : QJsonDocument::fromJson(pairs.readAll()).array())
        set.pairs.append({v.toArray().at(0).toString(), v.toArray().at(1).toString()});
    return set;
}

// A photo redrawn: `fromOriginal` takes its pixels to the variant's.
struct Variant {
    QImage image;
    Align::Similarity fromOriginal;
    QPointF eyes[2];
};

inline Variant draw(const Photo &photo, const Align::Similarity &t, QSize canvas)
{
    Variant v;
    v.fromOriginal = t;
    v.image = QImage(canvas, QImage::Format_RGB32);
    v.image.fill(QColor(118, 112, 106));
    QPainter p(&v.image);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.setTransform(t.toTransform());
    p.drawImage(0, 0, photo.image);
    p.end();
    for (int i = 0; i < 2; ++i)
        v.eyes[i] = t.map(photo.eyes[i]);
    return v;
}

// Turned clockwise by `degrees` on a canvas that holds all of it.
inline Variant turned(const Photo &photo, double degrees)
{
    const QSizeF s = photo.image.size();
    const double r = degrees * M_PI / 180.0;
    const QSize canvas(int(std::ceil(std::abs(s.width() * std::cos(r)) + std::abs(s.height() * std::sin(r)))),
                       int(std::ceil(std::abs(s.width() * std::sin(r)) + std::abs(s.height() * std::cos(r)))));
    const Align::Similarity turn(1.0, degrees, QPointF());
    const QPointF shift = QPointF(canvas.width() / 2.0, canvas.height() / 2.0)
                          - turn.map(QPointF(s.width() / 2.0, s.height() / 2.0));
    return draw(photo, Align::Similarity(1.0, degrees, shift), canvas);
}

// Shrunk by `factor` in the middle of a canvas of the photo's size: framed from further away.
inline Variant framedFurther(const Photo &photo, double factor)
{
    const QSizeF s = photo.image.size();
    return draw(photo, Align::Similarity(factor, 0, QPointF(s.width(), s.height()) * (1 - factor) / 2),
                photo.image.size());
}

// The whole photo at `factor` times its resolution.
inline Variant rescaled(const Photo &photo, double factor)
{
    return draw(photo, Align::Similarity(factor, 0, QPointF()),
                QSize(int(std::lround(photo.image.width() * factor)), int(std::lround(photo.image.height() * factor))));
}

// The larger distance between where a transform puts the after photo's eyes and the before
// photo's eyes, as a share of the before photo's eye distance.
inline double eyeError(const Align::Similarity &afterToBefore, const QPointF afterEyes[2], const Photo &before)
{
    double worst = 0.0;
    for (int i = 0; i < 2; ++i) {
        const QPointF d = afterToBefore.map(afterEyes[i]) - before.eyes[i];
        worst = std::max(worst, std::hypot(d.x(), d.y()));
    }
    return worst / before.eyeDistance();
}

} // namespace RealFaces
