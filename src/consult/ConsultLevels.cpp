#include "consult/ConsultTiles.h"
#include "consult/ConsultWindow.h"

#include "align/AlignmentStore.h"
#include "compare/CompareView.h"
#include "data/AppError.h"
#include "data/PictureStore.h"
#include "data/Unit_DataMod.h"
#include "pictures/ExifDate.h"

#include <QLabel>
#include <QResizeEvent>
#include <QStackedWidget>

using namespace ConsultTiles;

qint64 ConsultWindow::currentCaseId() const
{
    if (m_level != 4)
        return 0;
    const QVector<Showable::Case> &cases = chosenCases();
    return m_case < cases.size() ? cases.at(m_case).id : 0;
}

const QVector<Showable::Case> &ConsultWindow::chosenCases() const
{
    static const QVector<Showable::Case> none;
    if (m_major >= m_majors.size() || m_minor >= m_majors.at(m_major).minors.size())
        return none;
    return m_majors.at(m_major).minors.at(m_minor).cases;
}

int ConsultWindow::pairCount(const Showable::Case &c) const
{
    return int(std::max<qsizetype>(1, std::max(c.before.size(), c.after.size())));
}

void ConsultWindow::showLevel(int level, int select)
{
    m_level = level;
    if (level == 4) {
        m_stack->setCurrentWidget(m_blanked ? m_blank : m_comparePage);
        showCase();
        return;
    }
    m_selected = select;
    buildTiles();
    if (!m_blanked)
        m_stack->setCurrentIndex(0);
}

void ConsultWindow::openSelected()
{
    if (m_tiles.isEmpty())
        return;
    switch (m_level) {
    case 1:
        m_major = m_selected;
        showLevel(2, 0);
        break;
    case 2:
        m_minor = m_selected;
        showLevel(3, 0);
        break;
    case 3:
        m_case = m_selected;
        m_pair = 0;
        showLevel(4, 0);
        break;
    default: break;
    }
}

void ConsultWindow::back()
{
    switch (m_level) {
    case 4: showLevel(3, m_case); break;
    case 3: showLevel(2, m_minor); break;
    case 2: showLevel(1, m_major); break;
    default: leave();
    }
}

void ConsultWindow::setBlanked(bool blanked)
{
    m_blanked = blanked;
    if (blanked)
        m_stack->setCurrentWidget(m_blank);
    else
        m_stack->setCurrentWidget(m_level == 4 ? m_comparePage : m_stack->widget(0));
}

QString ConsultWindow::picturePath(const QString &column, qint64 caseId)
{
    if (column.isEmpty())
        return {};
    const QString path = PictureStore::resolveColumn(m_mod.programFolder(), column);
    if (path.isEmpty())
        keepProblem(QStringLiteral("病例 %1：照片 %2 找不到").arg(caseId).arg(column));
    return path;
}

QString ConsultWindow::caseCaption(const Showable::Case &c, const QString &afterPath)
{
    QStringList parts{majorName(c.major), minorName(c.minor)};
    if (!afterPath.isEmpty()) {
        const QString since = ExifDate::afterSurgeryText(c.surgeryDate,
                                                         ExifDate::dateTaken(afterPath).value_or(QDate()));
        if (!since.isEmpty())
            parts << since;
    }
    if (m_surgeonShown && !c.surgeon.isEmpty())
        parts << QStringLiteral("医生：%1").arg(c.surgeon);
    return parts.join(QStringLiteral(" · "));
}

void ConsultWindow::showCase()
{
    const QVector<Showable::Case> &cases = chosenCases();
    if (cases.isEmpty())
        return;
    m_case = std::clamp(m_case, 0, int(cases.size()) - 1);
    const Showable::Case &c = cases.at(m_case);
    const int pairs = pairCount(c);
    m_pair = std::clamp(m_pair, 0, pairs - 1);
    // The n-th pair; a case with fewer pictures on one side repeats its last one.
    const QString beforeColumn = c.before.isEmpty() ? QString()
                                                    : c.before.at(std::min<qsizetype>(m_pair, c.before.size() - 1));
    const QString afterColumn = c.after.isEmpty() ? QString()
                                                  : c.after.at(std::min<qsizetype>(m_pair, c.after.size() - 1));
    const QString before = picturePath(beforeColumn, c.id);
    const QString after = picturePath(afterColumn, c.id);
    m_view->setPictures(before, after);
    {
        const QString since = after.isEmpty()
                                  ? QString()
                                  : ExifDate::afterSurgeryText(c.surgeryDate,
                                                               ExifDate::dateTaken(after).value_or(QDate()));
        m_view->setLabels(before.isEmpty() ? QString() : QStringLiteral("术前"),
                          after.isEmpty() ? QString() : (since.isEmpty() ? QStringLiteral("术后") : since));
    }
    // A picture the view could not even measure has failed already; one that fails while it is
    // decoded is reported through pictureFailed.
    m_failed[0] = before.isEmpty() || !m_view->hasPicture(CompareView::Side::Before);
    m_failed[1] = after.isEmpty() || !m_view->hasPicture(CompareView::Side::After);
    m_view->clearAlignment();
    if (!beforeColumn.isEmpty() && !afterColumn.isEmpty()) {
        try {
            if (auto stored = Align::loadAlignment(QSqlDatabase::database(m_mod.ADOConn, false), beforeColumn,
                                                   afterColumn))
                m_view->setAlignment(stored->transform);
        } catch (const AppError &e) {
            keepProblem(QStringLiteral("病例 %1：%2").arg(c.id).arg(e.text()));
        }
    }
    m_view->fit();
    m_caseCaption->setText(caseCaption(c, after));
    QString position = QStringLiteral("%1 / %2").arg(m_case + 1).arg(cases.size());
    if (pairs > 1)
        position += QStringLiteral("（第 %1 组，共 %2 组）").arg(m_pair + 1).arg(pairs);
    m_casePosition->setText(position);
    placePlaceholders();
    noteCaseShown(c.id, QStringLiteral("对比"));
}

void ConsultWindow::step(int delta)
{
    const QVector<Showable::Case> &cases = chosenCases();
    if (cases.isEmpty())
        return;
    int caseIndex = m_case, pair = m_pair + delta;
    if (pair >= pairCount(cases.at(caseIndex))) {
        if (caseIndex + 1 >= cases.size())
            return;
        ++caseIndex;
        pair = 0;
    } else if (pair < 0) {
        if (caseIndex == 0)
            return;
        --caseIndex;
        pair = pairCount(cases.at(caseIndex)) - 1;
    }
    m_case = caseIndex;
    m_pair = pair;
    showCase();
}

void ConsultWindow::placePlaceholders()
{
    const QSizeF size = m_view->size();
    const CompareView::Mode mode = m_view->state().mode;
    for (int i = 0; i < 2; ++i) {
        QWidget *p = m_placeholders[i];
        const CompareView::Side side = i == 0 ? CompareView::Side::Before : CompareView::Side::After;
        // Over another picture (wipe, overlay) only the before side's failure covers the view.
        const bool show = m_failed[i] && (mode == CompareView::Mode::SideBySide || i == 0 || m_failed[0]);
        if (show) {
            p->setGeometry(CompareState::paneRect(mode, size, side).toAlignedRect());
            p->show();
            p->raise();
        } else {
            p->hide();
        }
    }
}

void ConsultWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // The tiles and their pictures are sized for the screen: built again when it changes (the
    // first time when the window goes full screen).
    if (m_started && m_level < 4 && event->size() != event->oldSize())
        scheduleTiles();
    placePlaceholders();
}
