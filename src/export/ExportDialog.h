#pragma once
// The comparison-sheet window: a preview of the sheet, the choices of layout, purpose, labels,
// watermark and eye bars, and the ways out (a file or the printer). Eye bars are moved by
// dragging them in the preview and resized by dragging their lower right corner; dragging on a
// picture where there is none draws a new one. 眼部遮挡 is ticked for every purpose but the
// internal archive until the person sets it; a photo of a sheet that leaves the clinic with
// neither a face found nor a bar drawn is named in the window, and sending it is asked first.

#include "export/Sheet.h"
#include "export/SheetExport.h"

#include <QDialog>
#include <QImage>
#include <QMap>
#include <QSqlDatabase>

#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace Ui {
class ExportDialog;
}

namespace Export {

class SheetPreview;

class ExportDialog : public QDialog {
    Q_OBJECT
public:
    ExportDialog(const QSqlDatabase &db, const Sheet::Request &request, QWidget *parent = nullptr);
    ~ExportDialog() override;

    // The request as the choices now make it (what an export or a print would send).
    Sheet::Request currentRequest() const;
    SheetExport::Output currentOutput() const;

    // The commands: each asks through the Prompter and reports failures there.
    void exportClick();
    void printClick();
    // Finds the eyes on every photo and puts bars over them. told: the person asked for it, and
    // is told when no eye is found at all.
    void findEyesClick(bool told = true);
    // Makes printing the default command and names the window for it (opened by "打印…").
    void preferPrinting();
    // The folder the file dialog of an export opens in.
    static QString exportFolder();

    Sheet::Request &editable() { return m_request; }
    void refreshPreview();

    // The photos that would leave without an eye bar though 眼部遮挡 is ticked for a sheet
    // that leaves the clinic: no face found on them and no bar drawn by hand.
    struct Bare {
        int pair = 0;
        bool after = false;
    };
    QVector<Bare> barePhotos() const;
    // The bars were moved, drawn or found: the preview and the note on bare photos follow.
    void barsChanged();

private:
    void build();
    void readChoices();
    // Format, paper, picture width, dates and eye bars as this user last sent a sheet.
    void restoreChoices();
    void keepChoices();
    // 眼部遮挡 follows the purpose until the person sets it.
    void followPurpose();
    QString namesOf(const QVector<Bare> &bare) const;
    // Asks before photos leave bare; false: nothing is to go out.
    bool mayLeaveBare();
    // Warns when a cropped photo would print under 200 ppi on the chosen paper; false: nothing
    // is to go out.
    bool mayPrintCoarse(const Sheet::Request &request, const SheetExport::Output &out);
    // Asks before an export replaces a file or removes pages of an earlier one; chosen: the
    // name the file dialog gave back. false: nothing is to be written.
    bool mayReplace(const Sheet::Request &request, const SheetExport::Output &out, const QString &chosen);

    std::unique_ptr<Ui::ExportDialog> m_ui;
    QSqlDatabase m_db;
    Sheet::Request m_request;
    SheetPreview *m_preview = nullptr;
    QComboBox *m_purpose = nullptr, *m_layout = nullptr, *m_corner = nullptr, *m_format = nullptr, *m_paper = nullptr,
              *m_width = nullptr;
    QCheckBox *m_dates = nullptr, *m_watermark = nullptr, *m_eyeBar = nullptr, *m_landscape = nullptr;
    QLineEdit *m_text = nullptr, *m_logo = nullptr;
    QSpinBox *m_opacity = nullptr, *m_page = nullptr;
    QLabel *m_pages = nullptr, *m_bareNote = nullptr;
    bool m_eyeBarByPerson = false, m_settingEyeBar = false, m_detectorMissing = false;
    QMap<int, bool> m_savedEyeBar; // by purpose, as the person last set it
    QPushButton *m_export = nullptr, *m_print = nullptr, *m_close = nullptr;
};

// The preview: the page painted without its eye bars (kept while bars are dragged), the bars
// drawn over it.
class SheetPreview : public QWidget {
    Q_OBJECT
public:
    explicit SheetPreview(QWidget *parent = nullptr);
    // The window whose sheet it shows; set before it is first painted.
    void setOwner(ExportDialog *owner) { m_owner = owner; }
    void invalidate();
    void setPage(int page);
    int page() const { return m_page; }
    QRectF pageRect() const { return m_pageRect; }
    // Where a pair's picture is shown in the preview, and its frame's scale there.
    QVector<Sheet::PlacedPair> placed() const;
    QPolygonF barOnScreen(const Sheet::PlacedPair &pp, bool after, const QPolygonF &bar) const;
    QTransform frameToScreen(const Sheet::PlacedPair &pp, bool after) const;

protected:
    void paintEvent(QPaintEvent *) override;
    void resizeEvent(QResizeEvent *) override;
    void mousePressEvent(QMouseEvent *) override;
    void mouseMoveEvent(QMouseEvent *) override;
    void mouseReleaseEvent(QMouseEvent *) override;

private:
    void render();
    ExportDialog *m_owner = nullptr;
    QImage m_image;
    QRectF m_pageRect;
    int m_page = 0;
    bool m_stale = true;
    QString m_failure;
    // The bar being dragged.
    struct Drag {
        int pair = -1;
        bool after = false;
        int bar = -1;
        bool resize = false;
        QPointF start;
        QPolygonF original;
    } m_drag;
};

} // namespace Export
