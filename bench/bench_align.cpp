// Accuracy and speed of the automatic alignment, on pairs made from the demo's synthetic
// portraits (with a fixed skin and fabric texture, JPEG-compressed like camera files):
//  1. Related pairs: a subject's before portrait against its after portrait photographed again
//     through a known similarity (scale 0.8-1.25, rotation +-10 degrees, shift +-10 % of the
//     picture), with another exposure and white balance and sensor noise, half of them in a
//     softer focus. Prints the share
//     aligned, the median and 95th percentile of the largest landmark error per pair (pupils,
//     nose, mouth, chin; pixels of the before picture shown 1000 pixels wide), the share claimed
//     aligned with a landmark error over 10 pixels, and the time per pair.
//  2. Unrelated pairs (a portrait against another scene or noise; two other scenes): the share
//     wrongly claimed as aligned, which must be 0.
//  3. A few related pairs at 24 megapixels (6000 x 4000): time per pair and accuracy.
//  4. Real photos (../shared/faces beside the source tree, or --faces DIR; skipped when absent):
//     each same-person pair, also with the after photo turned 5-25 degrees, framed 3x further
//     away, at 3x and at 1/3 resolution: the share aligned within 5 % of the eye distance (the
//     annotated eye centres carried over) and the count claimed aligned but off by over 10 %;
//     pictures of two people, a face against a scene and noise: wrongly claimed; eye bars on the
//     photos and on them turned 25 degrees either way and framed 3x further: bars over both
//     eyes and stray bars; the landmark model's load time and the time per 24 MP pair.
// Times are wall-clock and, less disturbed by other work on the machine, processor time.
// Usage: bench_align [--pairs N] [--unrelated N] [--large N] [--faces DIR] [--verbose]
//   (--verbose prints what each pair's decision was made on)
#include "align/AutoAlign.h"
#include "align/EyeDetect.h"

#include "align/RealFaces.h"

#include "align/SyntheticPair.h"
#include "demo_pictures.h"

#include <QBuffer>
#include <QDir>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTextStream>

#include <algorithm>
#include <ctime>
#include <functional>
#include <cmath>
#include <random>
#include <vector>

using Align::Similarity;
using SyntheticPair::Exposure;

namespace {

QTextStream out(stdout);
bool verbose = false;

void report(const char *kind, const Align::AutoResult &r, double error = qQNaN())
{
    if (!verbose)
        return;
    out << QStringLiteral("  %1: aligned %2 failure %3 features %4 matches %5 inliers %6 residual %7 spread %8 "
                          "overlap %9 correlation %10 error %11\n")
               .arg(QLatin1String(kind))
               .arg(r.aligned)
               .arg(int(r.failure))
               .arg(r.features)
               .arg(r.matches)
               .arg(r.inliers)
               .arg(r.residual, 0, 'f', 2)
               .arg(r.spread, 0, 'f', 2)
               .arg(r.overlap, 0, 'f', 2)
               .arg(r.correlation, 0, 'f', 2)
               .arg(error, 0, 'f', 2);
    out.flush();
}

// A fixed texture for a subject (skin pores, fabric, wall plaster): value noise at several
// scales, multiplied into the picture. The same for the before and the after photograph.
void addTexture(QImage &image, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> level(0, 255);
    std::vector<QImage> octaves;
    for (int cells : {40, 160, 640}) {
        QImage small(cells, cells * image.height() / image.width(), QImage::Format_Grayscale8);
        for (int y = 0; y < small.height(); ++y)
            for (int x = 0; x < small.width(); ++x)
                small.scanLine(y)[x] = uchar(level(random));
        octaves.push_back(small.scaled(image.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    }
    const double weights[] = {0.10, 0.07, 0.05};
    for (int y = 0; y < image.height(); ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            double f = 1.0;
            for (size_t o = 0; o < octaves.size(); ++o)
                f += weights[o] * (octaves[o].constScanLine(y)[x] - 127.5) / 127.5;
            const auto v = [f](int c) { return std::clamp(int(c * f + 0.5), 0, 255); };
            line[x] = qRgb(v(qRed(line[x])), v(qGreen(line[x])), v(qBlue(line[x])));
        }
    }
}

QImage portrait(int subject, bool after, QSize size)
{
    DemoPictures::PoolPicture picture;
    picture.subject = subject;
    picture.after = after;
    QImage image = DemoPictures::drawUpright(picture, size, QStringLiteral("演示图片 · 样例 %1").arg(subject + 1));
    addTexture(image, 1000 + unsigned(subject));
    return image;
}

// Where the demo draws the face's landmarks in a picture of `size`.
std::vector<QPointF> landmarks(QSize size)
{
    const double unit = std::min(size.width(), size.height());
    const QPointF c(size.width() / 2.0, size.height() * 0.45);
    const double rx = unit * 0.17, ry = rx * 1.3;
    const double eyeY = c.y() - ry * 0.08;
    return {QPointF(c.x() - rx * 0.42, eyeY), QPointF(c.x() + rx * 0.42, eyeY), QPointF(c.x(), c.y() + ry * 0.33),
            QPointF(c.x(), c.y() + ry * 0.5), QPointF(c.x(), c.y() + ry)};
}

QImage jpegRoundTrip(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 85);
    return QImage::fromData(bytes, "JPEG").convertToFormat(QImage::Format_RGB32);
}

struct Pair {
    QImage before, after;
    Similarity truth; // after pixels -> before pixels
};

Pair makeRelated(std::mt19937 &random, int subject, QSize size, bool compress)
{
    const auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(random); };
    Pair pair;
    pair.before = portrait(subject, false, size);
    Exposure calm;
    calm.noise = 3;
    calm.seed = unsigned(random());
    SyntheticPair::expose(pair.before, calm);

    // The after picture's centre shows the scene's centre moved by up to 10 % of the picture.
    const double scale = std::exp(uniform(std::log(0.8), std::log(1.25)));
    const Similarity turn(scale, uniform(-10, 10), QPointF());
    const QPointF centre(size.width() / 2.0, size.height() / 2.0);
    const QPointF moved = centre + QPointF(uniform(-0.1, 0.1) * size.width(), uniform(-0.1, 0.1) * size.height());
    pair.truth = Similarity(turn.scale(), turn.rotationDegrees(), moved - turn.map(centre));

    Exposure look;
    const double brightness = uniform(0.7, 1.3);
    for (double &g : look.gain)
        g = brightness * uniform(0.85, 1.15);
    look.offset = uniform(-10, 10);
    look.noise = uniform(3, 8);
    look.seed = unsigned(random());
    pair.after = SyntheticPair::photograph(portrait(subject, true, size), pair.truth, size, look);
    if (random() % 2) { // softer focus: detail finer than 1.5 to 2.5 pixels is lost
        const QSize soft = size / uniform(1.5, 2.5);
        pair.after = pair.after.scaled(soft, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                         .scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    if (compress) {
        pair.before = jpegRoundTrip(pair.before);
        pair.after = jpegRoundTrip(pair.after);
    }
    return pair;
}

// The largest landmark error of a pair, in pixels of the before picture shown 1000 pixels wide.
double landmarkError(const Similarity &found, const Pair &pair)
{
    const Similarity back = pair.truth.inverted();
    double worst = 0.0;
    for (const QPointF &scenePoint : landmarks(pair.before.size())) {
        const QPointF inAfter = back.map(scenePoint);
        const QPointF d = found.map(inAfter) - scenePoint;
        worst = std::max(worst, std::hypot(d.x(), d.y()));
    }
    return worst * 1000.0 / pair.before.width();
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return qQNaN();
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * (v.size() - 1) + 0.5))];
}

struct Tally {
    int pairs = 0, aligned = 0, wrong = 0;
    std::vector<double> errors, millis, cpuMillis;
};

void runRelated(Tally &t, const Pair &pair)
{
    QElapsedTimer timer;
    timer.start();
    const std::clock_t cpu = std::clock();
    const Align::AutoResult r = Align::alignAutomatically(pair.before, pair.after);
    t.millis.push_back(timer.nsecsElapsed() / 1e6);
    t.cpuMillis.push_back((std::clock() - cpu) * 1000.0 / CLOCKS_PER_SEC);
    ++t.pairs;
    if (!r.aligned) {
        report("related", r);
        return;
    }
    ++t.aligned;
    const double e = landmarkError(r.transform, pair);
    report("related", r, e);
    t.errors.push_back(e);
    if (e > 10.0)
        ++t.wrong;
}

void printRelated(const QString &title, const Tally &t)
{
    out << title << "\n"
        << QStringLiteral("  pairs %1, aligned %2 (%3 %), failure reported for the others\n")
               .arg(t.pairs)
               .arg(t.aligned)
               .arg(100.0 * t.aligned / std::max(t.pairs, 1), 0, 'f', 1)
        << QStringLiteral("  landmark error at 1000 px width: median %1 px, 95th percentile %2 px, worst %3 px\n")
               .arg(percentile(t.errors, 0.5), 0, 'f', 2)
               .arg(percentile(t.errors, 0.95), 0, 'f', 2)
               .arg(percentile(t.errors, 1.0), 0, 'f', 2)
        << QStringLiteral("  claimed aligned with an error over 10 px: %1\n").arg(t.wrong)
        << QStringLiteral("  time per pair: median %1 ms, worst %2 ms; processor time (all threads) median %3 ms\n")
               .arg(percentile(t.millis, 0.5), 0, 'f', 1)
               .arg(percentile(t.millis, 1.0), 0, 'f', 1)
               .arg(percentile(t.cpuMillis, 0.5), 0, 'f', 1);
    out.flush();
}

QString describeFaces(const Align::AutoResult &r)
{
    return QStringLiteral("aligned %1 method %2 failure %3 faces %4/%5 residual %6 %")
        .arg(r.aligned)
        .arg(int(r.method))
        .arg(int(r.failure))
        .arg(r.facesBefore)
        .arg(r.facesAfter)
        .arg(100 * r.faceResidual, 0, 'f', 1);
}

QImage toPixels(const QImage &image, double pixels)
{
    const double k = std::sqrt(pixels / (double(image.width()) * image.height()));
    return image.scaled(QSize(int(image.width() * k), int(image.height() * k)), Qt::IgnoreAspectRatio,
                        Qt::SmoothTransformation);
}

void runRealFaces(const QString &folder)
{
    // Read again from the file, as at the program's start (the parts above have loaded it).
    Align::setFaceModelPath(Align::faceModelPath());
    QElapsedTimer load;
    load.start();
    Align::preloadFaceModel();
    const QString modelError = Align::faceModelError();
    out << "Real photos (" << folder << ")\n"
        << QStringLiteral("  landmark model: %1 (loaded in %2 ms)\n")
               .arg(modelError.isEmpty() ? QStringLiteral("ready") : modelError)
               .arg(load.elapsed());
    out.flush();
    const RealFaces::Set set = RealFaces::load(folder);
    if (set.isEmpty()) {
        out << "  no annotated photos there: skipped\n";
        return;
    }
    // Alignment: each pair and its variants.
    struct Kind {
        const char *name;
        std::function<RealFaces::Variant(const RealFaces::Photo &)> make;
    };
    const std::vector<Kind> kinds = {
        {"as taken", [](const RealFaces::Photo &p) { return RealFaces::draw(p, Similarity(), p.image.size()); }},
        {"turned +5", [](const RealFaces::Photo &p) { return RealFaces::turned(p, 5); }},
        {"turned -15", [](const RealFaces::Photo &p) { return RealFaces::turned(p, -15); }},
        {"turned +25", [](const RealFaces::Photo &p) { return RealFaces::turned(p, 25); }},
        {"turned -25", [](const RealFaces::Photo &p) { return RealFaces::turned(p, -25); }},
        {"framed 3x further", [](const RealFaces::Photo &p) { return RealFaces::framedFurther(p, 1.0 / 3); }},
        {"3x resolution", [](const RealFaces::Photo &p) { return RealFaces::rescaled(p, 3.0); }},
        {"1/3 resolution", [](const RealFaces::Photo &p) { return RealFaces::rescaled(p, 1.0 / 3); }},
    };
    int total = 0, within = 0, claimed = 0, wrong = 0;
    std::vector<double> errors;
    for (const Kind &kind : kinds) {
        int kindWithin = 0;
        for (const auto &pair : set.pairs) {
            const RealFaces::Photo &before = set.photos[pair.first];
            const RealFaces::Variant after = kind.make(set.photos[pair.second]);
            const Align::AutoResult r = Align::alignAutomatically(before.image, after.image);
            const double e = r.aligned ? RealFaces::eyeError(r.transform, after.eyes, before) : qQNaN();
            ++total;
            if (r.aligned) {
                ++claimed;
                errors.push_back(e);
                wrong += e > 0.10 ? 1 : 0;
                kindWithin += e <= 0.05 ? 1 : 0;
            }
            if (verbose)
                out << QStringLiteral("  %1 -> %2, %3: %4, eye error %5 %\n")
                           .arg(pair.second, pair.first, QLatin1String(kind.name), describeFaces(r))
                           .arg(100 * e, 0, 'f', 1);
        }
        within += kindWithin;
        out << QStringLiteral("  %1: %2 of %3 pairs aligned within 5 % of the eye distance\n")
                   .arg(QLatin1String(kind.name))
                   .arg(kindWithin)
                   .arg(set.pairs.size());
        out.flush();
    }
    out << QStringLiteral("  all: aligned within 5 %: %1 of %2 (%3 %); claimed aligned %4, off by over 10 %: %5; "
                          "eye error median %6 %, worst %7 %\n")
               .arg(within)
               .arg(total)
               .arg(100.0 * within / std::max(total, 1), 0, 'f', 1)
               .arg(claimed)
               .arg(wrong)
               .arg(100 * percentile(errors, 0.5), 0, 'f', 1)
               .arg(100 * percentile(errors, 1.0), 0, 'f', 1);

    // Pictures that must not be laid over each other: other people, a scene, noise.
    int unrelated = 0, wronglyClaimed = 0, peoplePairs = 0, peopleClaimed = 0;
    const QImage scene = SyntheticPair::randomScene(QSize(1200, 1500), 31);
    QImage noise(1200, 1500, QImage::Format_RGB32);
    noise.fill(QColor(128, 128, 128));
    Exposure loud;
    loud.noise = 40;
    SyntheticPair::expose(noise, loud);
    for (auto it = set.photos.begin(); it != set.photos.end(); ++it) {
        for (const QImage *other : {&scene, static_cast<const QImage *>(&noise)}) {
            for (bool swap : {false, true}) {
                const Align::AutoResult r = swap ? Align::alignAutomatically(*other, it->image)
                                                 : Align::alignAutomatically(it->image, *other);
                ++unrelated;
                wronglyClaimed += r.aligned ? 1 : 0;
            }
        }
        for (auto jt = set.photos.begin(); jt != set.photos.end(); ++jt) {
            if (it.key().at(0) == jt.key().at(0))
                continue;
            const Align::AutoResult r = Align::alignAutomatically(it->image, jt->image);
            ++peoplePairs;
            peopleClaimed += r.aligned ? 1 : 0;
            if (verbose)
                out << QStringLiteral("  %1 -> %2 (two people): %3\n").arg(jt.key(), it.key(), describeFaces(r));
        }
    }
    out << QStringLiteral("  a face against a scene or noise: %1 pairs, wrongly claimed aligned %2\n")
               .arg(unrelated)
               .arg(wronglyClaimed)
        << QStringLiteral("  photos of two different people: %1 pairs, claimed aligned %2\n")
               .arg(peoplePairs)
               .arg(peopleClaimed);
    out.flush();

    // Eye bars.
    int faces = 0, covered = 0, bars = 0, stray = 0, wider = 0, widerCovered = 0;
    for (auto it = set.photos.begin(); it != set.photos.end(); ++it) {
        const std::vector<RealFaces::Variant> variants = {RealFaces::draw(*it, Similarity(), it->image.size()),
                                                          RealFaces::turned(*it, 25),
                                                          RealFaces::turned(*it, -25),
                                                          RealFaces::framedFurther(*it, 1.0 / 3),
                                                          RealFaces::turned(*it, 35),
                                                          RealFaces::turned(*it, -35),
                                                          RealFaces::framedFurther(*it, 1.0 / 6)};
        const char *names[] = {"as taken",   "turned +25", "turned -25",       "framed 3x further",
                               "turned +35", "turned -35", "framed 6x further"};
        for (size_t v = 0; v < variants.size(); ++v) {
            const Align::EyeBars found = Align::findEyeBars(variants[v].image);
            ++faces;
            bool over = false;
            for (const QPolygonF &shape : found.shapes) {
                const bool both = shape.containsPoint(variants[v].eyes[0], Qt::OddEvenFill)
                                  && shape.containsPoint(variants[v].eyes[1], Qt::OddEvenFill);
                const bool any = shape.containsPoint(variants[v].eyes[0], Qt::OddEvenFill)
                                 || shape.containsPoint(variants[v].eyes[1], Qt::OddEvenFill);
                over = over || both;
                ++bars;
                stray += any ? 0 : 1;
            }
            covered += over ? 1 : 0;
            if (v >= 4) { // beyond the figure asked for: counted apart
                --faces;
                covered -= over ? 1 : 0;
                wider += 1;
                widerCovered += over ? 1 : 0;
            }
            if (verbose && v == 0) {
                const Align::FaceSearch search = Align::findFaces(variants[v].image);
                if (search.mainFace() >= 0) {
                    const Align::Face &f = search.faces[search.mainFace()];
                    double worst = 0.0;
                    for (int e = 0; e < 2; ++e) {
                        const QPointF d = f.eyes[e] - it->eyes[e];
                        worst = std::max(worst, std::hypot(d.x(), d.y()) / it->eyeDistance());
                        QPointF m;
                        for (int i = 0; i < 6; ++i)
                            m += f.points[36 + 6 * e + i] / 6.0;
                        out << QStringLiteral("    eye %1: found off by (%2, %3) %, outline middle (%4, %5) %\n")
                                   .arg(e)
                                   .arg(100 * d.x() / it->eyeDistance(), 0, 'f', 1)
                                   .arg(100 * d.y() / it->eyeDistance(), 0, 'f', 1)
                                   .arg(100 * (m.x() - it->eyes[e].x()) / it->eyeDistance(), 0, 'f', 1)
                                   .arg(100 * (m.y() - it->eyes[e].y()) / it->eyeDistance(), 0, 'f', 1);
                    }
                    out << QStringLiteral("  %1: eye centres found within %2 % of the eye distance\n")
                               .arg(it.key())
                               .arg(100 * worst, 0, 'f', 1);
                }
            }
            if (verbose && !over)
                out << QStringLiteral("  eye bar missed: %1 %2 (%3 bars)\n")
                           .arg(it.key(), QLatin1String(names[v]))
                           .arg(found.bars.size());
        }
    }
    out << QStringLiteral("  eye bars: %1 of %2 faces covered over both eyes (%3 %); %4 bars, %5 stray (%6 %)\n")
               .arg(covered)
               .arg(faces)
               .arg(100.0 * covered / std::max(faces, 1), 0, 'f', 1)
               .arg(bars)
               .arg(stray)
               .arg(100.0 * stray / std::max(bars, 1), 0, 'f', 1)
        << QStringLiteral(
               "  eye bars on heads turned 35 degrees and framed 6x further (faces 4-8 % of the width): %1 of %2 covered\n")
               .arg(widerCovered)
               .arg(wider)
        << QStringLiteral("  eye bars on a scene and on noise: %1 (none expected)\n")
               .arg(Align::findEyeBars(scene).bars.size() + Align::findEyeBars(noise).bars.size());
    out.flush();

    // A pair at 24 megapixels, the model loaded.
    const auto &pair = set.pairs.first();
    const QImage before = toPixels(set.photos[pair.first].image, 24e6);
    const QImage after = toPixels(set.photos[pair.second].image, 24e6);
    std::vector<double> millis;
    bool aligned = true;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer timer;
        timer.start();
        aligned = Align::alignAutomatically(before, after).aligned && aligned;
        millis.push_back(timer.nsecsElapsed() / 1e6);
    }
    out << QStringLiteral("  24 MP pair (%1x%2 and %3x%4), model loaded: median %5 ms, worst %6 ms, %7\n")
               .arg(before.width())
               .arg(before.height())
               .arg(after.width())
               .arg(after.height())
               .arg(percentile(millis, 0.5), 0, 'f', 0)
               .arg(percentile(millis, 1.0), 0, 'f', 0)
               .arg(aligned ? QStringLiteral("aligned") : QStringLiteral("not aligned"));
    out.flush();
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption pairsOption("pairs", "related pairs at 1600 x 1200", "N", "96");
    const QCommandLineOption unrelatedOption("unrelated", "unrelated pairs", "N", "48");
    const QCommandLineOption largeOption("large", "related pairs at 24 megapixels", "N", "4");
    const QCommandLineOption facesOption("faces", "folder of the annotated real photos", "DIR",
                                         QStringLiteral(BELCARA_FACES_DIR));
    const QCommandLineOption verboseOption("verbose", "print each pair's figures");
    parser.addOptions({pairsOption, unrelatedOption, largeOption, facesOption, verboseOption});
    parser.process(app);
    verbose = parser.isSet(verboseOption);

    std::mt19937 random(20261208);
    const QSize size(1600, 1200);

    Tally related;
    for (int i = 0; i < parser.value(pairsOption).toInt(); ++i)
        runRelated(related, makeRelated(random, i % DemoPictures::SubjectCount, size, true));
    printRelated(QStringLiteral("Related pairs, 1600 x 1200 JPEG"), related);

    int unrelated = 0, claimed = 0;
    std::vector<double> millis;
    for (int i = 0; i < parser.value(unrelatedOption).toInt(); ++i) {
        QImage before = i % 3 == 2 ? SyntheticPair::randomScene(size, unsigned(100 + i))
                                   : portrait(i % DemoPictures::SubjectCount, false, size);
        QImage after;
        Exposure look;
        look.noise = 5;
        look.seed = unsigned(i);
        if (i % 3 == 1) { // noise alone
            after = QImage(size, QImage::Format_RGB32);
            after.fill(QColor(128, 128, 128));
            look.noise = 40;
            SyntheticPair::expose(after, look);
        } else {
            after = SyntheticPair::photograph(SyntheticPair::randomScene(size, unsigned(200 + i)),
                                              Similarity(1.1, 5, QPointF(-50, 20)), size, look);
        }
        before = jpegRoundTrip(before);
        after = jpegRoundTrip(after);
        QElapsedTimer timer;
        timer.start();
        const Align::AutoResult r = Align::alignAutomatically(before, after);
        millis.push_back(timer.nsecsElapsed() / 1e6);
        ++unrelated;
        claimed += r.aligned ? 1 : 0;
        report("unrelated", r);
    }
    out << "Unrelated pairs (portrait or scene against another scene or noise)\n"
        << QStringLiteral("  pairs %1, wrongly claimed as aligned %2 (%3 %)\n")
               .arg(unrelated)
               .arg(claimed)
               .arg(100.0 * claimed / std::max(unrelated, 1), 0, 'f', 1)
        << QStringLiteral("  time per pair: median %1 ms\n").arg(percentile(millis, 0.5), 0, 'f', 1);
    out.flush();

    Tally large;
    for (int i = 0; i < parser.value(largeOption).toInt(); ++i)
        runRelated(large, makeRelated(random, (3 * i + 1) % DemoPictures::SubjectCount, QSize(6000, 4000), false));
    if (large.pairs)
        printRelated(QStringLiteral("Related pairs, 6000 x 4000 (24 MP), decoded"), large);

    const QString faces = parser.value(facesOption);
    if (QDir(faces).exists())
        runRealFaces(faces);
    else
        out << "Real photos: " << faces << " is absent: skipped\n";
    return 0;
}
