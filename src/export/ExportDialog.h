#pragma once
// The comparison-sheet window: a preview of the sheet, the choices of layout, purpose, labels,
// watermark and eye bars, and the ways out (a file or the printer). Eye bars are moved by
// dragging them in the preview and resized by dragging their lower right corner; dragging on a
// picture where there is none draws a new one.

#include "export/Sheet.h"
#include "export/SheetExport.h"

#include <QDialog>
#include <QImage>
#include <QSqlDatabase>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class CompareWindow;
class QAction;
class TfrmMain;

namespace Export {

class SheetPreview;

class ExportDialog : public QDialog {
    Q_OBJECT
public:
    ExportDialog(const QSqlDatabase &db, const Sheet::Request &request, QWidget *parent = nullptr);

    // The request as the choices now make it (what an export or a print would send).
    Sheet::Request currentRequest() const;
    SheetExport::Output currentOutput() const;

    // The commands: each asks through the Prompter and reports failures there.
    void exportClick();
    void printClick();
    void findEyesClick();
    // Makes printing the default command (the window opened by "打印…").
    void preferPrinting();
    // The folder the file dialog of an export opens in.
    static QString exportFolder();

    Sheet::Request &editable() { return m_request; }
    void refreshPreview();

private:
    void build();
    void readChoices();

    QSqlDatabase m_db;
    Sheet::Request m_request;
    SheetPreview *m_preview = nullptr;
    QComboBox *m_purpose = nullptr, *m_layout = nullptr, *m_corner = nullptr, *m_format = nullptr, *m_paper = nullptr,
              *m_width = nullptr;
    QCheckBox *m_dates = nullptr, *m_watermark = nullptr, *m_eyeBar = nullptr, *m_landscape = nullptr;
    QLineEdit *m_text = nullptr, *m_logo = nullptr;
    QSpinBox *m_opacity = nullptr, *m_page = nullptr;
    QLabel *m_pages = nullptr;
    QPushButton *m_export = nullptr, *m_print = nullptr, *m_close = nullptr;
};

// The preview: the page painted without its eye bars (kept while bars are dragged), the bars
// drawn over it.
class SheetPreview : public QWidget {
    Q_OBJECT
public:
    explicit SheetPreview(ExportDialog *owner);
    void invalidate();
    void setPage(int page);
    int page() const { return m_page; }
    QRectF pageRect() const { return m_pageRect; }
    // Where a pair's picture is shown in the preview, and its frame's scale there.
    QVector<Sheet::PlacedPair> placed() const;
    QRectF barOnScreen(const Sheet::PlacedPair &pp, bool after, const QRectF &bar) const;

protected:
    void paintEvent(QPaintEvent *) override;
    void resizeEvent(QResizeEvent *) override;
    void mousePressEvent(QMouseEvent *) override;
    void mouseMoveEvent(QMouseEvent *) override;
    void mouseReleaseEvent(QMouseEvent *) override;

private:
    void render();
    ExportDialog *m_owner;
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
        QRectF original;
    } m_drag;
};

// Adds "导出对比图…" and "打印…" to the main window's file menu, for its current case.
void addSheetCommands(TfrmMain *window);

// Adds the same two commands (Ctrl+E, Ctrl+P) to a comparison window; its sheet is the pair it
// shows, laid over as it is aligned there and cut to what its view shows. Returns the actions
// for the window's buttons.
QList<QAction *> addCompareSheetCommands(CompareWindow *window);

// The sheet of a case: its before and after pictures in pairs (numbers 0..2), with their stored
// alignments, category and the customer. Pairs missing a picture are left out.
Sheet::Request requestForCase(const QSqlDatabase &db, const QString &programFolder, qint64 caseId);

} // namespace Export
