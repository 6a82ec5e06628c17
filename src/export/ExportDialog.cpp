#include "export/ExportDialog.h"
#include "ui_ExportDialog.h"

#include "align/EyeDetect.h"
#include "data/AuditLog.h"
#include "data/AppError.h"
#include "data/Settings.h"
#include "pictures/PictureLoader.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentMap>

#include <algorithm>
#include <cmath>

namespace Export {

// ---- the window ----

ExportDialog::~ExportDialog() = default;

ExportDialog::ExportDialog(const QSqlDatabase &db, const Sheet::Request &request, QWidget *parent)
    : QDialog(parent), m_ui(new Ui::ExportDialog), m_db(db), m_request(request)
{
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
    restoreChoices();
    readChoices();
    followPurpose();
}

namespace {

// The choices of a sheet are each user's own: the accounts share the machine's settings file.
QString choicesSection()
{
    return QStringLiteral("Sheet ") + AuditLog::currentUser();
}

} // namespace

void ExportDialog::restoreChoices()
{
    auto read = [](const char *key) {
        try {
            return Settings::readString(choicesSection(), QString::fromLatin1(key), QString());
        } catch (const AppError &) {
            return QString();
        }
    };
    auto index = [&](QComboBox *box, const char *key) {
        bool ok = false;
        const int i = read(key).toInt(&ok);
        if (ok && i >= 0 && i < box->count())
            box->setCurrentIndex(i);
    };
    index(m_format, "Format");
    index(m_paper, "Paper");
    index(m_width, "Width");
    if (const QString v = read("Landscape"); !v.isEmpty())
        m_landscape->setChecked(v == QLatin1String("1"));
    if (const QString v = read("Dates"); !v.isEmpty())
        m_dates->setChecked(v == QLatin1String("1"));
    // Eye bars as the person last set them for each purpose; a purpose without a choice of its
    // own keeps its default (bars for everything that leaves the clinic).
    for (int purpose = 0; purpose < m_purpose->count(); ++purpose)
        if (const QString v = read(qPrintable(QStringLiteral("EyeBar%1").arg(purpose))); !v.isEmpty())
            m_savedEyeBar.insert(purpose, v == QLatin1String("1"));
}

void ExportDialog::keepChoices()
{
    // The sheet is out already: a settings file that cannot be written does not undo that.
    try {
        const QString section = choicesSection();
        auto write = [&](const char *key, const QString &value) {
            Settings::writeString(section, QString::fromLatin1(key), value);
        };
        auto flag = [](bool on) { return on ? QStringLiteral("1") : QStringLiteral("0"); };
        write("Format", QString::number(m_format->currentIndex()));
        write("Paper", QString::number(m_paper->currentIndex()));
        write("Width", QString::number(m_width->currentIndex()));
        write("Landscape", flag(m_landscape->isChecked()));
        write("Dates", flag(m_dates->isChecked()));
        if (m_eyeBarByPerson) {
            m_savedEyeBar.insert(m_purpose->currentIndex(), m_eyeBar->isChecked());
            write(qPrintable(QStringLiteral("EyeBar%1").arg(m_purpose->currentIndex())), flag(m_eyeBar->isChecked()));
        }
    } catch (const AppError &) {
    }
}

void ExportDialog::followPurpose()
{
    if (m_eyeBarByPerson)
        return;
    const bool on = m_savedEyeBar.value(m_purpose->currentIndex(),
                                        m_purpose->currentIndex() != int(Sheet::Purpose::Internal));
    if (m_eyeBar->isChecked() == on)
        return;
    m_settingEyeBar = true;
    try {
        m_eyeBar->setChecked(on);
    } catch (...) {
        m_settingEyeBar = false;
        throw;
    }
    m_settingEyeBar = false;
}

void ExportDialog::build()
{
    m_ui->setupUi(this);
    m_preview = m_ui->preview;
    m_preview->setOwner(this);
    m_purpose = m_ui->cb_Purpose;
    m_layout = m_ui->cb_Layout;
    m_corner = m_ui->cb_Corner;
    m_format = m_ui->cb_Format;
    m_paper = m_ui->cb_Paper;
    m_width = m_ui->cb_Width;
    m_dates = m_ui->chk_Dates;
    m_watermark = m_ui->chk_Watermark;
    m_eyeBar = m_ui->chk_EyeBar;
    m_landscape = m_ui->chk_Landscape;
    m_text = m_ui->ed_WatermarkText;
    m_logo = m_ui->ed_Logo;
    m_opacity = m_ui->sp_Opacity;
    m_page = m_ui->sp_Page;
    m_pages = m_ui->lbl_Pages;
    m_bareNote = m_ui->lb_EyeBarMissing;
    m_export = m_ui->btn_Export;
    m_print = m_ui->btn_Print;
    m_close = m_ui->btn_Close;
    m_purpose->addItems(Sheet::purposeLabels());
    m_layout->addItems(Sheet::layoutLabels());
    m_corner->addItems(Sheet::cornerLabels());
    m_bareNote->hide();

    auto changed = [this](auto...) { readChoices(); };
    for (QComboBox *c : {m_purpose, m_layout, m_corner, m_format, m_paper, m_width})
        connectGuarded(c, &QComboBox::currentIndexChanged, this, changed);
    for (QCheckBox *c : {m_dates, m_watermark, m_landscape})
        connectGuarded(c, &QCheckBox::toggled, this, changed);
    for (QLineEdit *e : {m_text, m_logo})
        connectGuarded(e, &QLineEdit::textChanged, this, changed);
    connectGuarded(m_opacity, &QSpinBox::valueChanged, this, changed);
    connectGuarded(m_page, &QSpinBox::valueChanged, this, [this](int page) { m_preview->setPage(page - 1); });
    connectGuarded(m_purpose, &QComboBox::currentIndexChanged, this, [this](auto...) { followPurpose(); });
    connectGuarded(m_eyeBar, &QCheckBox::toggled, this, [this](bool on) {
        const bool byPerson = !m_settingEyeBar;
        m_eyeBarByPerson = m_eyeBarByPerson || byPerson;
        if (on) {
            findEyesClick(byPerson);
        } else {
            for (Sheet::Pair &p : m_request.pairs)
                p.beforeBars.clear(), p.afterBars.clear();
            barsChanged();
        }
    });
    connectGuarded(m_ui->btn_Logo, &QPushButton::clicked, this, [this](auto...) {
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
    barsChanged();
}

QVector<ExportDialog::Bare> ExportDialog::barePhotos() const
{
    QVector<Bare> bare;
    if (!m_eyeBar->isChecked() || m_request.purpose == Sheet::Purpose::Internal)
        return bare;
    for (int i = 0; i < m_request.pairs.size(); ++i)
        for (bool after : {false, true})
            if ((after ? m_request.pairs[i].afterBars : m_request.pairs[i].beforeBars).isEmpty())
                bare.append({i, after});
    return bare;
}

QString ExportDialog::namesOf(const QVector<Bare> &bare) const
{
    QStringList names;
    for (const Bare &b : bare) {
        const QString side = b.after ? QStringLiteral("术后") : QStringLiteral("术前");
        names << (m_request.pairs.size() > 1 ? QStringLiteral("第 %1 组%2").arg(b.pair + 1).arg(side) : side);
    }
    return names.join(QStringLiteral("、"));
}

void ExportDialog::barsChanged()
{
    const QVector<Bare> bare = barePhotos();
    QString note;
    if (!bare.isEmpty()) {
        note = m_detectorMissing
                   ? QStringLiteral("找不到眼部识别的数据文件，这些照片没有遮挡条：%1。").arg(namesOf(bare))
                   : QStringLiteral("没有找到面部，也没有遮挡条：%1。").arg(namesOf(bare));
        note += QStringLiteral("可以在预览中拖动鼠标画出遮挡条。");
    }
    m_bareNote->setText(note);
    m_bareNote->setVisible(!note.isEmpty());
    m_preview->update();
}

bool ExportDialog::mayLeaveBare()
{
    const QVector<Bare> bare = barePhotos();
    if (bare.isEmpty())
        return true;
    const QString question = QStringLiteral("%1的照片上没有找到面部，也没有画遮挡条，将不加眼部遮挡发出。\n"
                                            "仍要继续吗？选“否”可以先在预览中拖动鼠标画出遮挡条。")
                                 .arg(namesOf(bare));
    return Prompter::instance().messageBox(this, question, windowTitle(), Prompt::Yes | Prompt::No, Prompt::Question,
                                           Prompt::No)
           == Prompt::Yes;
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
    setWindowTitle(QStringLiteral("打印对比图"));
    m_export->setDefault(false);
    m_print->setDefault(true);
    m_print->setFocus();
}

void ExportDialog::findEyesClick(bool told)
{
    int faces = 0;
    m_detectorMissing = false;
    // Every photo of the sheet at once, on the workers; photos already searched (in the
    // comparison window, say) come from what was kept of them.
    QStringList paths;
    for (const Sheet::Pair &p : std::as_const(m_request.pairs))
        paths << p.before.path << p.after.path;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const QList<Align::EyeBars> found = QtConcurrent::blockingMapped(paths, [](const QString &path) {
        return Align::eyeBarsOfFile(path);
    });
    for (int i = 0; i < m_request.pairs.size(); ++i) {
        Sheet::Pair &p = m_request.pairs[i];
        p.beforeBars.clear();
        p.afterBars.clear();
        for (bool after : {false, true}) {
            const Align::EyeBars &bars = found.at(2 * i + (after ? 1 : 0));
            m_detectorMissing = m_detectorMissing || bars.detectorMissing;
            faces += int(bars.bars.size());
            QVector<QPolygonF> shapes = bars.shapes;
            if (shapes.isEmpty())
                for (const QRectF &b : bars.bars)
                    shapes << QPolygonF(b);
            // Bars of an aligned after picture go on into the before picture's frame the pair
            // is shown in.
            const QTransform toFrame = after && p.alignment ? p.alignment->toTransform() : QTransform();
            for (const QPolygonF &shape : shapes)
                (after ? p.afterBars : p.beforeBars).append(toFrame.map(shape));
        }
    }
    QApplication::restoreOverrideCursor();
    barsChanged();
    if (!told)
        return;
    if (m_detectorMissing)
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
    if (!mayLeaveBare())
        return;
    SheetExport::Output out = currentOutput();
    if (out.format == SheetExport::Format::Pdf && !mayPrintCoarse(request, out))
        return;
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
    const QString chosen = out.path;
    if (!out.path.endsWith(suffixes[f], Qt::CaseInsensitive))
        out.path += suffixes[f];
    if (!mayReplace(request, out, chosen))
        return;
    const QStringList files = SheetExport::exportSheet(m_db, request, out);
    keepChoices();
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

bool ExportDialog::mayPrintCoarse(const Sheet::Request &request, const SheetExport::Output &out)
{
    const double ppi = SheetExport::lowestCropPpi(request, out.paper, out.landscape);
    if (ppi <= 0 || ppi >= SheetExport::MinPrintPpi)
        return true;
    const QString question = QStringLiteral("裁剪后的照片在纸上只有约 %1 ppi（低于 %2 ppi），打印出来会显得模糊。\n"
                                            "仍要继续吗？选“否”可以在对比窗口中缩小一些再导出。")
                                 .arg(int(std::lround(ppi)))
                                 .arg(int(SheetExport::MinPrintPpi));
    return Prompter::instance().messageBox(this, question, windowTitle(), Prompt::Yes | Prompt::No, Prompt::Warning,
                                           Prompt::No)
           == Prompt::Yes;
}

bool ExportDialog::mayReplace(const Sheet::Request &request, const SheetExport::Output &out, const QString &chosen)
{
    QStringList replaced;
    for (const QString &file : SheetExport::filesOf(request, out))
        if (QFileInfo::exists(file))
            replaced << file;
    const QStringList removed = SheetExport::earlierPages(request, out);
    // The file dialog has asked about the name it gave back; every other file is asked here,
    // by its final name.
    if ((replaced.isEmpty() || replaced == QStringList{chosen}) && removed.isEmpty())
        return true;
    auto names = [](const QStringList &files) {
        QStringList n;
        for (const QString &file : files)
            n << QFileInfo(file).fileName();
        return n.join(QStringLiteral("、"));
    };
    QString question;
    if (!replaced.isEmpty())
        question += QStringLiteral("下列文件已经存在，导出将替换它们：%1。\n").arg(names(replaced));
    if (!removed.isEmpty())
        question += QStringLiteral("以前导出的同名多余页面将被删除：%1。\n").arg(names(removed));
    question += QStringLiteral("要继续吗？");
    return Prompter::instance().messageBox(this, question, windowTitle(), Prompt::Yes | Prompt::No, Prompt::Question,
                                           Prompt::No)
           == Prompt::Yes;
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
    if (!mayLeaveBare())
        return;
    const SheetExport::Output out = currentOutput();
    if (!mayPrintCoarse(request, out))
        return;
    QPrinter printer(QPrinter::HighResolution);
    printer.setPageSize(QPageSize(out.paper == SheetExport::Paper::Letter ? QPageSize::Letter : QPageSize::A4));
    printer.setPageOrientation(out.landscape ? QPageLayout::Landscape : QPageLayout::Portrait);
    QPrintDialog dialog(&printer, this);
    dialog.setWindowTitle(QStringLiteral("打印对比图"));
    if (Prompter::instance().execModal(&dialog) != QDialog::Accepted)
        return;
    SheetExport::printSheet(m_db, request, printer);
    keepChoices();
}

} // namespace Export
