#pragma once
// The drawing state of a Windows device context, as metafile records change it, painted with
// QPainter onto a QImage. Shared by the WMF and EMF record players.

#include <QBrush>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPolygonF>
#include <QTransform>
#include <QVector>

#include <cstddef>
#include <cstdint>

namespace Metafile {

// Bounds-checked little-endian reads from a record; reads outside give 0.
struct Bytes {
    const unsigned char *data = nullptr;
    std::size_t size = 0;

    Bytes sub(std::size_t offset, std::size_t length) const;
    bool has(std::size_t offset, std::size_t count) const { return offset <= size && count <= size - offset; }
    uint16_t u16(std::size_t at) const;
    int16_t i16(std::size_t at) const { return int16_t(u16(at)); }
    uint32_t u32(std::size_t at) const;
    int32_t i32(std::size_t at) const { return int32_t(u32(at)); }
    float f32(std::size_t at) const;
};

QColor colorRef(uint32_t value);

// A device-independent bitmap: info header, colour table and bits. Null when not decodable.
// bottomUp tells whether the rows are stored from the bottom (positive height).
QImage decodeDib(Bytes info, Bytes bits, bool *bottomUp = nullptr);
QImage decodePackedDib(Bytes dib, bool *bottomUp = nullptr);

struct GdiFont {
    double height = 12; // logical units; negative: character height, positive: cell height
    int weight = 400;
    bool italic = false, underline = false, strikeOut = false;
    int escapement = 0; // tenths of a degree, counter-clockwise
    int charset = 1;
    QString face;
};

struct GdiObject {
    enum Type { Empty, Pen, Brush, Font, Other } type = Empty;
    QPen pen;
    QBrush brush;
    GdiFont font;
};

enum MapMode {
    MM_TEXT = 1,
    MM_LOMETRIC,
    MM_HIMETRIC,
    MM_LOENGLISH,
    MM_HIENGLISH,
    MM_TWIPS,
    MM_ISOTROPIC,
    MM_ANISOTROPIC
};

class GdiCanvas {
public:
    explicit GdiCanvas(QImage *target);
    ~GdiCanvas();

    struct State {
        QPen pen;
        QBrush brush;
        GdiFont font;
        QColor textColor = Qt::black;
        QColor bkColor = Qt::white;
        bool opaqueBackground = true;
        Qt::FillRule fillRule = Qt::OddEvenFill;
        unsigned textAlign = 0;
        QPointF position;
        int mapMode = MM_TEXT;
        QPointF windowOrg, viewportOrg;
        QSizeF windowExt{1, 1}, viewportExt{1, 1};
        QTransform world;
    };
    State s;

    // WMF playback maps the window straight onto the picture; EMF goes through the map mode to
    // the reference device and from there onto the picture.
    bool windowToPicture = false;
    QRectF pictureRect;
    QTransform deviceToPicture;
    double devicePixelsPerMm = 96 / 25.4;

    // Objects
    QVector<GdiObject> objects;
    void select(const GdiObject &object);
    void selectStock(uint32_t index);
    int firstFreeSlot();

    void saveDC();
    void restoreDC(int relative);
    void intersectClip(const QRectF &logical);

    // Drawing, in logical coordinates
    void moveTo(QPointF p);
    void lineTo(QPointF p);
    void polyline(const QPolygonF &points, bool fromCurrent);
    void polygon(const QPolygonF &points);
    void polyPolygon(const QVector<QPolygonF> &polygons);
    void polyPolyline(const QVector<QPolygonF> &lines);
    void polyBezier(const QPolygonF &points, bool fromCurrent);
    void rectangle(const QRectF &r);
    void roundRect(const QRectF &r, QSizeF corner);
    void ellipse(const QRectF &r);
    void text(QPointF at, const QString &text, const QRectF *opaque, const QRectF *clip, bool useCurrent);
    void image(const QRectF &dest, const QImage &picture, const QRectF &source);
    void fillWithBrush(const QRectF &dest, const QBrush &brush);

    // Paths
    void beginPath();
    void endPath() { m_inPath = false; }
    void closeFigure() { m_path.closeSubpath(); }
    void abortPath();
    void drawPath(bool fill, bool stroke);

    QTransform logicalToPicture() const;

    // Whether painting work is left. Every drawing costs the picture pixels it covers; a few
    // kilobytes of records repeating whole-canvas fills would otherwise keep the program busy
    // for seconds. Once the work is spent, the remaining drawings are skipped.
    bool workLeft() const { return m_workLeft > 0; }

private:
    void draw(const QPainterPath &path, bool fill, bool stroke);
    QPen effectivePen(const QTransform &t) const;
    bool spend(const QRectF &pictureArea);
    double coveredPixels(const QRectF &pictureArea) const;
    bool spendPixels(double pixels);

    QImage *m_target;
    qint64 m_workLeft;
    QPainter m_painter;
    QVector<State> m_saved;
    bool m_inPath = false;
    QPainterPath m_path;
};

} // namespace Metafile

namespace Metafile {

// The two record players. Each raises AppError "Metafile is not valid" on data that is not a
// metafile of its kind.
QSize wmfNaturalSize(Bytes data);
void playWmf(Bytes data, QImage *target);
QSize emfNaturalSize(Bytes data);
void playEmf(Bytes data, QImage *target);

// A logical brush of either format: style 1 is hollow, 2 hatched (six hatch kinds), else solid.
QBrush gdiBrush(unsigned style, QColor colour, unsigned hatch);

// A logical font as both formats store it: height, width, escapement, orientation and weight,
// then the italic, underline, strike-out and character set bytes, four more bytes, and a face
// name of at most 32 characters ending at the first zero. WMF records hold the 16-bit form
// (two-byte numbers, face name in the font's code page); EMF records the 32-bit form (four-byte
// numbers, UTF-16 face name). Fields the record is too short for keep their defaults, save
// the numbers, which read as 0.
GdiFont decodeLogFont(Bytes logFont, bool wide);

// Text of the 8-bit records: code page 936 unless the font says Western or Symbol.
QString decodeAnsi(const QByteArray &bytes, int charset);

} // namespace Metafile
