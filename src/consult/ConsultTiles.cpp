#include "consult/ConsultTiles.h"
#include "consult/ConsultWindow.h"

#include "pictures/ExifDate.h"
#include "pictures/PreviewService.h"

#include <QGridLayout>
#include <QLabel>
#include <QScrollArea>
#include <QTimer>

#include <cmath>

namespace ConsultTiles {

QString majorName(const QString &name)
{
    return name.isEmpty() ? QStringLiteral("其他") : name;
}

QString minorName(const QString &name)
{
    return name.isEmpty() ? QStringLiteral("未分小类") : name;
}

void paintPlaceholder(QPainter &p, const QRectF &r)
{
    p.save();
    p.fillRect(r, QColor(72, 72, 78));
    const double s = std::min(r.width(), r.height()) * 0.3;
    const QPointF c = r.center();
    QRectF sign(c.x() - s / 2, c.y() - s / 2.6, s, s / 1.3);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(120, 120, 128), std::max(1.0, s / 24)));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(sign, s / 14, s / 14);
    QPolygonF hill;
    hill << QPointF(sign.left() + s * 0.1, sign.bottom() - s * 0.1)
         << QPointF(sign.left() + s * 0.4, sign.top() + s * 0.35)
         << QPointF(sign.left() + s * 0.6, sign.bottom() - s * 0.25)
         << QPointF(sign.left() + s * 0.72, sign.top() + s * 0.45)
         << QPointF(sign.right() - s * 0.1, sign.bottom() - s * 0.1);
    p.drawPolyline(hill);
    p.drawEllipse(QPointF(sign.right() - s * 0.25, sign.top() + s * 0.2), s * 0.07, s * 0.07);
    p.restore();
}

} // namespace ConsultTiles

using namespace ConsultTiles;

void ConsultWindow::buildTiles()
{
    for (QWidget *t : std::as_const(m_tiles))
        delete t;
    m_tiles.clear();
    const quint64 generation = m_thumbs.restart();

    struct Entry {
        QString caption, detail;
        const Showable::Case *c = nullptr;
    };
    QVector<Entry> entries;
    QString path;
    if (m_level == 1) {
        m_title->setText(QStringLiteral("请选择项目"));
        for (const Showable::Major &m : std::as_const(m_majors))
            entries.append({majorName(m.name), QStringLiteral("%1 例").arg(m.count()), nullptr});
    } else if (m_level == 2) {
        const Showable::Major &m = m_majors.at(m_major);
        m_title->setText(majorName(m.name));
        path = QStringLiteral("请选择细分项目");
        for (const Showable::Minor &n : m.minors)
            entries.append({minorName(n.name), QStringLiteral("%1 例").arg(n.cases.size()), nullptr});
    } else {
        const Showable::Major &m = m_majors.at(m_major);
        const Showable::Minor &n = m.minors.at(m_minor);
        m_title->setText(QStringLiteral("%1 · %2").arg(majorName(m.name), minorName(n.name)));
        path = QStringLiteral("共 %1 例").arg(n.cases.size());
        int index = 0;
        for (const Showable::Case &c : n.cases) {
            ++index;
            const QString after = c.after.value(0);
            const QDate taken = after.isEmpty() ? QDate()
                                                : ExifDate::dateTaken(picturePath(after, c.id)).value_or(QDate());
            QString caption = ExifDate::afterSurgeryText(c.surgeryDate, taken);
            if (caption.isEmpty())
                caption = QStringLiteral("第 %1 例").arg(index);
            const QString detail = m_surgeonShown && !c.surgeon.isEmpty() ? QStringLiteral("医生：%1").arg(c.surgeon)
                                                                          : QString();
            entries.append({caption, detail, &c});
        }
    }
    m_path->setText(path);
    m_path->setVisible(!path.isEmpty());
    m_hint->setText(m_level == 1 ? QStringLiteral("方向键选择　Enter 打开　B 黑屏　Esc 结束演示")
                                 : QStringLiteral("方向键选择　Enter 打开　B 黑屏　Esc 返回"));

    const int n = int(entries.size());
    const QSize area = m_scroll->viewport()->size().isEmpty() ? size() : m_scroll->viewport()->size();
    if (m_level == 3)
        m_columns = std::clamp(int(std::ceil(std::sqrt(double(n)))), 1, 4);
    else
        m_columns = std::clamp(int(std::ceil(std::sqrt(double(n) * 1.5))), 1, 5);
    const int rows = (n + m_columns - 1) / std::max(1, m_columns);
    const int visibleRows = std::min(rows, m_level == 3 ? 2 : 3);
    const int tileHeight = std::max(120, (area.height() - 24 - 18 * (visibleRows - 1)) / std::max(1, visibleRows));
    const QSize thumb(std::max(64, area.width() / m_columns / 2 - 24), std::max(48, tileHeight * 3 / 5));
    // Few category tiles stay their size in the middle of the screen rather than stretch.
    m_grid->setAlignment(m_level == 3 ? Qt::Alignment() : Qt::Alignment(Qt::AlignVCenter));
    for (int i = 0; i < n; ++i) {
        auto *tile = new Tile(m_tileHost, entries.at(i).caption, entries.at(i).detail);
        if (m_level == 3)
            tile->setMinimumHeight(tileHeight);
        else
            tile->setFixedHeight(std::min(tileHeight, 260));
        if (const Showable::Case *c = entries.at(i).c) {
            // The pictures come from the workers one by one; the case counts as shown once its
            // tile has been on the screen.
            tile->expectPictures();
            requestThumbnail(tile, false, c->before.value(0), c->id, thumb, generation);
            requestThumbnail(tile, true, c->after.value(0), c->id, thumb, generation);
            const qint64 id = c->id;
            tile->onShown = [this, id] {
                if (!m_blanked)
                    noteCaseShown(id, QStringLiteral("缩略图"));
            };
        }
        // Opening rebuilds the tiles, this one included: not from inside its own mouse event.
        tile->onClick = [this, i] {
            QMetaObject::invokeMethod(
                this,
                [this, i] {
                    m_selected = i;
                    openSelected();
                },
                Qt::QueuedConnection);
        };
        m_grid->addWidget(tile, i / m_columns, i % m_columns);
        tile->show(); // at once: the layout would show it only on the next turn of the event loop
        m_tiles.append(tile);
    }
    m_selected = std::clamp(m_selected, 0, std::max(0, n - 1));
    moveSelection(0);
}

void ConsultWindow::moveSelection(int delta)
{
    if (m_tiles.isEmpty())
        return;
    m_selected = std::clamp(m_selected + delta, 0, int(m_tiles.size()) - 1);
    for (int i = 0; i < m_tiles.size(); ++i)
        static_cast<Tile *>(m_tiles.at(i))->setSelected(i == m_selected);
    m_scroll->ensureWidgetVisible(m_tiles.at(m_selected), 0, 0);
}

void ConsultWindow::requestThumbnail(QWidget *tile, bool after, const QString &column, qint64 caseId, QSize size,
                                     quint64 generation)
{
    auto *t = static_cast<Tile *>(tile);
    const QString path = picturePath(column, caseId);
    if (path.isEmpty()) {
        t->setPicture(after, QImage(), true);
        return;
    }
    PreviewService::shared().request(m_thumbs, generation, path, QSize(), size, size, t,
                                     [this, t, after, caseId](const PreviewResult &r) {
                                         if (!r.ok())
                                             keepProblem(QStringLiteral("病例 %1：%2").arg(caseId).arg(r.error));
                                         t->setPicture(after, r.image, !r.ok());
                                     });
}

// Built once the new size has reached every child: the scroll area's viewport takes its size
// only when its own resize event comes, after this window's.
void ConsultWindow::scheduleTiles()
{
    if (m_tilesScheduled)
        return;
    m_tilesScheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_tilesScheduled = false;
        if (!m_ending && m_level < 4)
            buildTiles();
    });
}
