#include "export/ExportDialog.h"

#include "align/AlignmentStore.h"
#include "align/EyeDetect.h"
#include "browser/Unit_Main.h"
#include "compare/CompareWindow.h"
#include "consent/Showable.h"
#include "data/AppError.h"
#include "data/DataSet.h"
#include "data/PictureStore.h"
#include "data/Settings.h"
#include "data/Unit_DataMod.h"
#include "pictures/ExifDate.h"
#include "pictures/PictureLoader.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QSpinBox>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace Export {

namespace {

constexpr double Handle = 8; // screen pixels of a bar's corner that resize it

QComboBox *combo(QWidget *parent, const char *name, const QStringList &items)
{
    auto *c = new QComboBox(parent);
    c->setObjectName(QLatin1String(name));
    c->addItems(items);
    return c;
}

QCheckBox *check(QWidget *parent, const char *name, const QString &text)
{
    auto *c = new QCheckBox(text, parent);
    c->setObjectName(QLatin1String(name));
    return c;
}

} // namespace

// ---- the preview ----

SheetPreview::SheetPreview(ExportDialog *owner) : QWidget(owner), m_owner(owner)
{
    setObjectName(QStringLiteral("preview"));
    setMinimumSize(420, 420);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
}

void SheetPreview::invalidate()
{
    m_stale = true;
    update();
}

void SheetPreview::setPage(int page)
{
    m_page = page;
    invalidate();
}

void SheetPreview::render()
{
    m_stale = false;
    m_failure.clear();
    Sheet::Request r = SheetExport::forPurpose(m_owner->currentRequest());
    for (Sheet::Pair &p : r.pairs)
        p.beforeBars.clear(), p.afterBars.clear();
    m_image = QImage();
    m_pageRect = QRectF();
    if (r.pairs.isEmpty())
        return;
    m_page = std::clamp(m_page, 0, Sheet::pageCount(r) - 1);
    const SheetExport::Output out = m_owner->currentOutput();
    try {
        QSizeF page;
        if (out.format == SheetExport::Format::Pdf) {
            QSizeF mm = QPageSize(out.paper == SheetExport::Paper::Letter ? QPageSize::Letter : QPageSize::A4)
                            .size(QPageSize::Millimeter);
            page = out.landscape ? mm.transposed() : mm;
        } else {
            page = QSizeF(1000, Sheet::heightForWidth(r, m_page, 1000));
        }
        const QSizeF fit = page.scaled(QSizeF(size()) - QSizeF(8, 8), Qt::KeepAspectRatio);
        m_pageRect = QRectF(QPointF((width() - fit.width()) / 2, (height() - fit.height()) / 2), fit);
        m_image = QImage(fit.toSize().expandedTo(QSize(1, 1)), QImage::Format_RGB32);
        QPainter p(&m_image);
        p.setRenderHint(QPainter::Antialiasing);
        Sheet::paintPage(p, QRectF(QPointF(0, 0), QSizeF(m_image.size())), r, m_page);
    } catch (const AppError &e) {
        m_failure = e.text();
        m_image = QImage();
    }
}

QVector<Sheet::PlacedPair> SheetPreview::placed() const
{
    if (m_pageRect.isEmpty())
        return {};
    return Sheet::placePage(m_owner->currentRequest(), m_page, QRectF(m_pageRect.topLeft(), QSizeF(m_image.size())));
}

QRectF SheetPreview::barOnScreen(const Sheet::PlacedPair &pp, bool after, const QRectF &bar) const
{
    const Sheet::Pair &pair = m_owner->editable().pairs[pp.pairIndex];
    const QRectF frame = Sheet::frameOf(pair);
    const QRectF cell = after ? pp.after : pp.before;
    const double k = cell.width() / frame.width();
    return QRectF(cell.topLeft() + (bar.topLeft() - frame.topLeft()) * k, bar.size() * k);
}

void SheetPreview::paintEvent(QPaintEvent *)
{
    if (m_stale)
        render();
    QPainter p(this);
    p.fillRect(rect(), palette().window());
    if (!m_failure.isEmpty()) {
        p.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap, m_failure);
        return;
    }
    if (m_image.isNull())
        return;
    p.drawImage(m_pageRect.topLeft(), m_image);
    p.setPen(QColor(160, 160, 160));
    p.drawRect(QRectF(m_pageRect.topLeft(), QSizeF(m_image.size())));
    const Sheet::Request &r = m_owner->editable();
    for (const Sheet::PlacedPair &pp : placed()) {
        for (bool after : {false, true}) {
            const QVector<QRectF> &bars = after ? r.pairs[pp.pairIndex].afterBars : r.pairs[pp.pairIndex].beforeBars;
            const QRectF cell = after ? pp.after : pp.before;
            p.save();
            p.setClipRect(cell);
            for (const QRectF &bar : bars) {
                const QRectF s = barOnScreen(pp, after, bar);
                p.fillRect(s, Qt::black);
                p.fillRect(QRectF(s.bottomRight() - QPointF(Handle, Handle), QSizeF(Handle, Handle)),
                           QColor(200, 200, 200));
            }
            p.restore();
        }
    }
}

void SheetPreview::resizeEvent(QResizeEvent *)
{
    invalidate();
}

void SheetPreview::mousePressEvent(QMouseEvent *e)
{
    m_drag = Drag();
    if (e->button() != Qt::LeftButton)
        return;
    Sheet::Request &r = m_owner->editable();
    for (const Sheet::PlacedPair &pp : placed()) {
        for (bool after : {false, true}) {
            const QRectF cell = after ? pp.after : pp.before;
            if (!cell.contains(e->position()))
                continue;
            QVector<QRectF> &bars = after ? r.pairs[pp.pairIndex].afterBars : r.pairs[pp.pairIndex].beforeBars;
            m_drag.pair = pp.pairIndex;
            m_drag.after = after;
            m_drag.start = e->position();
            for (int i = int(bars.size()) - 1; i >= 0; --i) {
                const QRectF s = barOnScreen(pp, after, bars[i]);
                if (!s.contains(e->position()))
                    continue;
                m_drag.bar = i;
                m_drag.original = bars[i];
                const QPointF c = s.bottomRight() - e->position();
                m_drag.resize = c.x() <= Handle && c.y() <= Handle;
                return;
            }
            // A new bar, drawn from here.
            const QRectF frame = Sheet::frameOf(r.pairs[pp.pairIndex]);
            const double k = cell.width() / frame.width();
            const QPointF at = frame.topLeft() + (e->position() - cell.topLeft()) / k;
            bars.append(QRectF(at, QSizeF(1 / k, 1 / k)));
            m_drag.bar = int(bars.size()) - 1;
            m_drag.original = bars.last();
            m_drag.resize = true;
            return;
        }
    }
}

void SheetPreview::mouseMoveEvent(QMouseEvent *e)
{
    if (m_drag.bar < 0 || !(e->buttons() & Qt::LeftButton))
        return;
    Sheet::Request &r = m_owner->editable();
    const QVector<Sheet::PlacedPair> all = placed();
    const auto pp = std::find_if(all.begin(), all.end(),
                                 [&](const Sheet::PlacedPair &x) { return x.pairIndex == m_drag.pair; });
    if (pp == all.end())
        return;
    const QRectF cell = m_drag.after ? pp->after : pp->before;
    const double k = cell.width() / Sheet::frameOf(r.pairs[m_drag.pair]).width();
    const QPointF d = (e->position() - m_drag.start) / k;
    QVector<QRectF> &bars = m_drag.after ? r.pairs[m_drag.pair].afterBars : r.pairs[m_drag.pair].beforeBars;
    if (m_drag.bar >= bars.size())
        return;
    QRectF b = m_drag.original;
    if (m_drag.resize)
        b.setBottomRight(b.bottomRight() + d);
    else
        b.translate(d);
    bars[m_drag.bar] = b.normalized();
    update();
}

void SheetPreview::mouseReleaseEvent(QMouseEvent *e)
{
    mouseMoveEvent(e);
    if (m_drag.bar >= 0) {
        // A click without a drag leaves no speck of a bar behind.
        Sheet::Request &r = m_owner->editable();
        QVector<QRectF> &bars = m_drag.after ? r.pairs[m_drag.pair].afterBars : r.pairs[m_drag.pair].beforeBars;
        if (m_drag.bar < bars.size() && (bars[m_drag.bar].width() < 4 || bars[m_drag.bar].height() < 4))
            bars.remove(m_drag.bar);
    }
    m_drag = Drag();
    update();
}

// ---- the window ----

ExportDialog::ExportDialog(const QSqlDatabase &db, const Sheet::Request &request, QWidget *parent)
    : QDialog(parent), m_db(db), m_request(request)
{
    setObjectName(QStringLiteral("ExportDialog"));
    setWindowTitle(QStringLiteral("导出对比图"));
    const Sheet::Watermark saved = SheetExport::readWatermark();
    m_request.watermark = saved;
    build();
    m_text->setText(saved.text);
    m_logo->setText(saved.logoPath);
    m_corner->setCurrentIndex(int(saved.corner));
    m_opacity->setValue(int(std::lround(saved.opacity * 100)));
    m_watermark->setChecked(
        !saved.isEmpty()
        && Settings::readString(QStringLiteral("Watermark"), QStringLiteral("Use"), QStringLiteral("1"))
               != QLatin1String("0"));
    m_layout->setCurrentIndex(m_request.pairs.size() > 1 ? int(Sheet::Layout::Grid) : int(Sheet::Layout::SideBySide));
    Sheet::Purpose purpose = Sheet::Purpose::Publicity;
    try {
        purpose = SheetExport::defaultPurpose(m_db, m_request);
    } catch (const AppError &) {
        // The consent is read again, and its error reported, when the sheet is made.
    }
    m_purpose->setCurrentIndex(int(purpose));
    readChoices();
}

void ExportDialog::build()
{
    m_preview = new SheetPreview(this);
    m_purpose = combo(this, "cb_Purpose", Sheet::purposeLabels());
    m_layout = combo(this, "cb_Layout", Sheet::layoutLabels());
    m_dates = check(this, "chk_Dates", QStringLiteral("日期和间隔(&D)"));
    m_watermark = check(this, "chk_Watermark", QStringLiteral("水印(&W)"));
    m_text = new QLineEdit(this);
    m_text->setObjectName(QStringLiteral("ed_WatermarkText"));
    m_logo = new QLineEdit(this);
    m_logo->setObjectName(QStringLiteral("ed_Logo"));
    auto *logoButton = new QPushButton(QStringLiteral("标志(&G)…"), this);
    logoButton->setObjectName(QStringLiteral("btn_Logo"));
    m_corner = combo(this, "cb_Corner", Sheet::cornerLabels());
    m_opacity = new QSpinBox(this);
    m_opacity->setObjectName(QStringLiteral("sp_Opacity"));
    m_opacity->setRange(5, 100);
    m_opacity->setSuffix(QStringLiteral(" %"));
    m_eyeBar = check(this, "chk_EyeBar", QStringLiteral("眼部遮挡(&Y)"));
    m_format = combo(this, "cb_Format", {QStringLiteral("PDF"), QStringLiteral("JPEG"), QStringLiteral("PNG")});
    m_paper = combo(this, "cb_Paper", {QStringLiteral("A4"), QStringLiteral("Letter")});
    m_landscape = check(this, "chk_Landscape", QStringLiteral("横向(&L)"));
    m_width = combo(this, "cb_Width", {QStringLiteral("1080"), QStringLiteral("2048"), QStringLiteral("原始大小")});
    m_width->setCurrentIndex(1);
    m_page = new QSpinBox(this);
    m_page->setObjectName(QStringLiteral("sp_Page"));
    m_page->setMinimum(1);
    m_pages = new QLabel(this);
    m_pages->setObjectName(QStringLiteral("lbl_Pages"));
    m_export = new QPushButton(QStringLiteral("导出(&E)…"), this);
    m_export->setObjectName(QStringLiteral("btn_Export"));
    m_print = new QPushButton(QStringLiteral("打印(&P)…"), this);
    m_print->setObjectName(QStringLiteral("btn_Print"));
    m_close = new QPushButton(QStringLiteral("关闭(&C)"), this);
    m_close->setObjectName(QStringLiteral("btn_Close"));
    m_export->setDefault(true);

    auto *form = new QFormLayout;
    auto labelled = [&](const QString &text, QWidget *w) {
        auto *l = new QLabel(text, this);
        l->setBuddy(w);
        form->addRow(l, w);
    };
    labelled(QStringLiteral("用途(&U)："), m_purpose);
    labelled(QStringLiteral("版式(&A)："), m_layout);
    form->addRow(m_dates);
    form->addRow(m_eyeBar);
    form->addRow(m_watermark);
    labelled(QStringLiteral("水印文字(&T)："), m_text);
    auto *logoRow = new QHBoxLayout;
    logoRow->addWidget(m_logo);
    logoRow->addWidget(logoButton);
    form->addRow(QStringLiteral("标志图片："), logoRow);
    labelled(QStringLiteral("位置(&O)："), m_corner);
    labelled(QStringLiteral("不透明度(&I)："), m_opacity);
    labelled(QStringLiteral("格式(&F)："), m_format);
    labelled(QStringLiteral("纸张(&Z)："), m_paper);
    form->addRow(m_landscape);
    labelled(QStringLiteral("图片宽度(&K)："), m_width);
    auto *pageRow = new QHBoxLayout;
    pageRow->addWidget(m_page);
    pageRow->addWidget(m_pages);
    form->addRow(QStringLiteral("预览页："), pageRow);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_export);
    buttons->addWidget(m_print);
    buttons->addWidget(m_close);
    auto *side = new QVBoxLayout;
    side->addLayout(form);
    side->addStretch();
    side->addLayout(buttons);
    auto *top = new QHBoxLayout(this);
    top->addWidget(m_preview, 1);
    top->addLayout(side);
    resize(980, 680);

    auto changed = [this](auto...) { readChoices(); };
    for (QComboBox *c : {m_purpose, m_layout, m_corner, m_format, m_paper, m_width})
        connectGuarded(c, &QComboBox::currentIndexChanged, this, changed);
    for (QCheckBox *c : {m_dates, m_watermark, m_landscape})
        connectGuarded(c, &QCheckBox::toggled, this, changed);
    for (QLineEdit *e : {m_text, m_logo})
        connectGuarded(e, &QLineEdit::textChanged, this, changed);
    connectGuarded(m_opacity, &QSpinBox::valueChanged, this, changed);
    connectGuarded(m_page, &QSpinBox::valueChanged, this, [this](int page) { m_preview->setPage(page - 1); });
    connectGuarded(m_eyeBar, &QCheckBox::toggled, this, [this](bool on) {
        if (on) {
            findEyesClick();
        } else {
            for (Sheet::Pair &p : m_request.pairs)
                p.beforeBars.clear(), p.afterBars.clear();
            m_preview->update();
        }
    });
    connectGuarded(logoButton, &QPushButton::clicked, this, [this](auto...) {
        const QString file = Prompter::instance().openFile(this, QStringLiteral("图片|*.png;*.jpg;*.jpeg;*.bmp"), 0);
        if (!file.isEmpty())
            m_logo->setText(file);
    });
    connectGuarded(m_export, &QPushButton::clicked, this, [this](auto...) { exportClick(); });
    connectGuarded(m_print, &QPushButton::clicked, this, [this](auto...) { printClick(); });
    connect(m_close, &QPushButton::clicked, this, &QDialog::reject);
}

void ExportDialog::readChoices()
{
    m_request.purpose = Sheet::Purpose(m_purpose->currentIndex());
    m_request.layout = Sheet::Layout(m_layout->currentIndex());
    m_request.showDates = m_dates->isChecked();
    m_request.watermark.text = m_text->text().trimmed();
    m_request.watermark.logoPath = m_logo->text().trimmed();
    m_request.watermark.corner = Sheet::Corner(m_corner->currentIndex());
    m_request.watermark.opacity = m_opacity->value() / 100.0;
    const bool pdf = m_format->currentIndex() == 0;
    m_paper->setEnabled(pdf);
    m_landscape->setEnabled(pdf);
    m_width->setEnabled(!pdf);
    for (QWidget *w : {static_cast<QWidget *>(m_text), static_cast<QWidget *>(m_logo), static_cast<QWidget *>(m_corner),
                       static_cast<QWidget *>(m_opacity)})
        w->setEnabled(m_watermark->isChecked());
    const int pages = std::max(1, Sheet::pageCount(m_request));
    m_page->setMaximum(pages);
    m_pages->setText(QStringLiteral("共 %1 页").arg(pages));
    refreshPreview();
}

void ExportDialog::refreshPreview()
{
    m_preview->invalidate();
}

Sheet::Request ExportDialog::currentRequest() const
{
    Sheet::Request r = m_request;
    if (!m_watermark->isChecked())
        r.watermark = Sheet::Watermark();
    return r;
}

SheetExport::Output ExportDialog::currentOutput() const
{
    SheetExport::Output out;
    out.format = SheetExport::Format(m_format->currentIndex());
    out.paper = SheetExport::Paper(m_paper->currentIndex());
    out.landscape = m_landscape->isChecked();
    out.width = QList<int>{1080, 2048, 0}.value(m_width->currentIndex());
    return out;
}

void ExportDialog::preferPrinting()
{
    m_export->setDefault(false);
    m_print->setDefault(true);
    m_print->setFocus();
}

void ExportDialog::findEyesClick()
{
    int faces = 0;
    bool missing = false;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    try {
        for (Sheet::Pair &p : m_request.pairs) {
            p.beforeBars.clear();
            p.afterBars.clear();
            for (bool after : {false, true}) {
                const QString path = after ? p.afterPath : p.beforePath;
                const QSize natural = PictureLoader::readNaturalSize(path);
                const QImage picture = PictureLoader::loadPreview(path, natural.scaled(1600, 1600, Qt::KeepAspectRatio)
                                                                            .boundedTo(natural));
                const Align::EyeBars found = Align::findEyeBars(picture);
                missing = missing || found.detectorMissing;
                faces += int(found.bars.size());
                const double sx = double(natural.width()) / picture.width(),
                             sy = double(natural.height()) / picture.height();
                for (const QRectF &b : found.bars) {
                    const QRectF own(b.x() * sx, b.y() * sy, b.width() * sx, b.height() * sy);
                    // After-picture bars go into the before picture's frame the pair is shown in.
                    (after ? p.afterBars : p.beforeBars).append(after ? p.alignment.toTransform().mapRect(own) : own);
                }
            }
        }
    } catch (...) {
        QApplication::restoreOverrideCursor();
        throw;
    }
    QApplication::restoreOverrideCursor();
    m_preview->update();
    if (missing)
        Prompter::instance().showError(this, QStringLiteral("找不到眼部识别的数据文件（%1），无法自动放置眼部遮挡。")
                                                 .arg(Align::detectorFolder()));
    else if (faces == 0)
        Prompter::instance().showMessage(this,
                                         QStringLiteral(
                                             "图片中没有找到眼睛，没有放置眼部遮挡。可以在预览中拖动鼠标画出遮挡条。"));
}

void ExportDialog::exportClick()
{
    readChoices();
    const Sheet::Request request = currentRequest();
    SheetExport::checkConsent(m_db, request); // refused before a file is asked for
    SheetExport::Output out = currentOutput();
    static const QStringList filters{QStringLiteral("PDF 文件|*.pdf"), QStringLiteral("JPEG 图片|*.jpg"),
                                     QStringLiteral("PNG 图片|*.png")};
    static const QStringList suffixes{QStringLiteral(".pdf"), QStringLiteral(".jpg"), QStringLiteral(".png")};
    const int f = int(out.format);
    const QString proposed = QDir(exportFolder())
                                 .filePath(QStringLiteral("对比图-")
                                           + QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) + suffixes[f]);
    out.path = Prompter::instance().saveFile(this, filters[f], proposed);
    if (out.path.isEmpty())
        return;
    if (!out.path.endsWith(suffixes[f], Qt::CaseInsensitive))
        out.path += suffixes[f];
    const QStringList files = SheetExport::exportSheet(m_db, request, out);
    try {
        // Remembered for the next sheet on this machine; the sheet itself is out already, so a
        // settings file that cannot be written does not turn the export into a failure.
        SheetExport::writeWatermark(m_request.watermark);
        Settings::writeString(QStringLiteral("Export"), QStringLiteral("Folder"), QFileInfo(out.path).absolutePath());
        Settings::writeString(QStringLiteral("Watermark"), QStringLiteral("Use"),
                              m_watermark->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
    } catch (const AppError &) {
    }
    QStringList names;
    for (const QString &file : files)
        names << QFileInfo(file).fileName();
    Prompter::instance().showMessage(this, QStringLiteral("对比图已导出：%1").arg(names.join(QStringLiteral("、"))));
}

// Where the file dialog opens: the folder of the last sheet exported on this machine while it
// exists and this user may write there, else the user's documents or home folder (never the
// working folder, which is the program's own when it is started from there).
QString ExportDialog::exportFolder()
{
    QString last;
    try {
        last = Settings::readString(QStringLiteral("Export"), QStringLiteral("Folder"), QString());
    } catch (const AppError &) {
    }
    if (!last.isEmpty() && QFileInfo(last).isDir() && QFileInfo(last).isWritable())
        return last;
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return !documents.isEmpty() && QFileInfo(documents).isDir() ? documents : QDir::homePath();
}

void ExportDialog::printClick()
{
    readChoices();
    const Sheet::Request request = currentRequest();
    SheetExport::checkConsent(m_db, request);
    QPrinter printer(QPrinter::HighResolution);
    const SheetExport::Output out = currentOutput();
    printer.setPageSize(QPageSize(out.paper == SheetExport::Paper::Letter ? QPageSize::Letter : QPageSize::A4));
    printer.setPageOrientation(out.landscape ? QPageLayout::Landscape : QPageLayout::Portrait);
    QPrintDialog dialog(&printer, this);
    dialog.setWindowTitle(QStringLiteral("打印对比图"));
    if (Prompter::instance().execModal(&dialog) != QDialog::Accepted)
        return;
    SheetExport::printSheet(m_db, request, printer);
}

// ---- the case and the main window ----

Sheet::Request requestForCase(const QSqlDatabase &db, const QString &programFolder, qint64 caseId)
{
    Sheet::Request r;
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT s.客户编号, s.手术大类, s.手术小类, s.手术日期, s.手术前, s.手术后, s.手术前1, "
                             "s.手术后1, s.手术前2, s.手术后2, u.用户姓名 FROM Surgery s "
                             "LEFT JOIN tUserInfo u ON u.客户编号 = s.客户编号 WHERE s.id = ?"));
    q.addBindValue(caseId);
    if (!q.exec())
        throw AppError(q.lastError().text());
    if (!q.next())
        return r;
    r.customerNo = q.value(0).toString();
    r.customerName = q.value(10).toString();
    QStringList category;
    for (int c : {1, 2})
        if (!q.value(c).toString().trimmed().isEmpty())
            category << q.value(c).toString().trimmed();
    const QDate surgery = Showable::surgeryDate(q.value(3).toString());
    for (int i = 0; i < 3; ++i) {
        Sheet::Pair p;
        p.beforeRef = q.value(4 + 2 * i).toString();
        p.afterRef = q.value(5 + 2 * i).toString();
        p.beforePath = PictureStore::resolveColumn(programFolder, p.beforeRef);
        p.afterPath = PictureStore::resolveColumn(programFolder, p.afterRef);
        if (p.beforePath.isEmpty() || p.afterPath.isEmpty())
            continue;
        p.caseId = caseId;
        p.category = category.join(QStringLiteral(" / "));
        if (const auto stored = Align::loadAlignment(db, p.beforeRef, p.afterRef))
            p.alignment = stored->transform;
        p.beforeDate = ExifDate::dateTaken(p.beforePath).value_or(QDate());
        p.afterDate = ExifDate::dateTaken(p.afterPath).value_or(QDate());
        p.interval = ExifDate::afterSurgeryText(surgery, p.afterDate);
        r.pairs.append(p);
    }
    return r;
}

namespace {

void openFor(TfrmMain *w, bool print)
{
    DataSet *cases = w->adq_Surgery;
    if (!cases || !cases->isActive() || cases->recNo() < 0) {
        Prompter::instance().showMessage(w, QStringLiteral("请先选择一个病例。"));
        return;
    }
    const QSqlDatabase db = QSqlDatabase::database(DataMod->ADOConn);
    const qint64 caseId = cases->value(QStringLiteral("id")).toLongLong();
    const Sheet::Request request = requestForCase(db, w->programFolder(), caseId);
    if (request.pairs.isEmpty()) {
        Prompter::instance().showMessage(w, QStringLiteral("当前病例没有成对的术前、术后图片。"));
        return;
    }
    ExportDialog dialog(db, request, w);
    if (print)
        dialog.preferPrinting();
    Prompter::instance().execModal(&dialog);
}

void openFor(CompareWindow *w, bool print)
{
    const CompareCase &c = w->currentCase();
    const ComparePicture &before = w->left(), &after = w->right();
    if (c.id == 0 || before.isEmpty() || after.isEmpty()) {
        Prompter::instance().showMessage(w, QStringLiteral("请先在两边各放一张图片。"));
        return;
    }
    const QSqlDatabase db = QSqlDatabase::database(DataMod->ADOConn);
    Sheet::Request request = requestForCase(db, DataMod->programFolder(), c.id);
    Sheet::Pair pair;
    if (!request.pairs.isEmpty())
        pair = request.pairs.first(); // the case's category and surgery interval
    pair.caseId = c.id;
    pair.beforeRef = before.stored;
    pair.afterRef = after.stored;
    pair.beforePath = before.path;
    pair.afterPath = after.path;
    pair.beforeDate = ExifDate::dateTaken(before.path).value_or(QDate());
    pair.afterDate = ExifDate::dateTaken(after.path).value_or(QDate());
    pair.interval.clear();
    if (pair.afterDate.isValid()) {
        // The interval of this after picture, not of the case's first one.
        QSqlQuery q(db);
        q.prepare(QStringLiteral("SELECT 手术日期 FROM Surgery WHERE id = ?"));
        q.addBindValue(c.id);
        if (q.exec() && q.next())
            pair.interval = ExifDate::afterSurgeryText(Showable::surgeryDate(q.value(0).toString()), pair.afterDate);
    }
    pair.alignment = w->view()->alignment();
    // What the view shows of the before picture: its zoom and position are the sheet's crop.
    const QSize size = w->view()->pictureSize(CompareView::Side::Before);
    const QRectF whole(QPointF(0, 0), QSizeF(size));
    const QRectF shown = w->view()->visibleRegion().intersected(whole);
    pair.crop = shown.width() >= 8 && shown.height() >= 8 && shown != whole ? shown : QRectF();
    request.pairs = {pair};
    request.layout = Sheet::Layout::SideBySide;
    ExportDialog dialog(db, request, w);
    if (print)
        dialog.preferPrinting();
    Prompter::instance().execModal(&dialog);
}

} // namespace

QList<QAction *> addCompareSheetCommands(CompareWindow *w)
{
    auto *exportAction = new QAction(QStringLiteral("导出对比图(&E)…"), w);
    exportAction->setObjectName(QStringLiteral("ac_ExportSheet"));
    exportAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    auto *printAction = new QAction(QStringLiteral("打印(&P)…"), w);
    printAction->setObjectName(QStringLiteral("ac_PrintSheet"));
    printAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    for (QAction *a : {exportAction, printAction}) {
        a->setShortcutContext(Qt::WindowShortcut);
        w->addAction(a);
    }
    connectGuarded(exportAction, &QAction::triggered, w, [w](auto...) { openFor(w, false); });
    connectGuarded(printAction, &QAction::triggered, w, [w](auto...) { openFor(w, true); });
    return {exportAction, printAction};
}

void addSheetCommands(TfrmMain *w)
{
    QMenu *menu = w->menuFile;
    QAction *before = w->N3; // above 退出
    auto *exportAction = new QAction(QStringLiteral("导出对比图(&E)…"), w);
    exportAction->setObjectName(QStringLiteral("ac_ExportSheet"));
    auto *printAction = new QAction(QStringLiteral("打印(&P)…"), w);
    printAction->setObjectName(QStringLiteral("ac_PrintSheet"));
    menu->insertAction(before, exportAction);
    menu->insertAction(before, printAction);
    menu->insertSeparator(before);
    connectGuarded(exportAction, &QAction::triggered, w, [w](auto...) { openFor(w, false); });
    connectGuarded(printAction, &QAction::triggered, w, [w](auto...) { openFor(w, true); });
}

} // namespace Export
