#pragma once
// A dialog laid out at fixed pixel positions, as the small windows of this program are: a fixed
// client area, a frame with the close box only, and no default or cancel button, so that neither
// Enter in a field nor Escape closes it; only its own buttons and the close box do.

#include <QDialog>
#include <QPointer>

class FixedDialog : public QDialog {
    Q_OBJECT
public:
    enum Placement { CentreOnOwner, CentreOnScreen };
    explicit FixedDialog(QWidget *owner, Placement placement = CentreOnOwner);

protected:
    // Call after setupUi: fixes the client area and takes the default role off every push button.
    void fixDesign(const QSize &clientArea);
    // The control that has the keyboard focus when the dialog opens.
    void setInitialFocus(QWidget *widget) { m_initialFocus = widget; }

    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    Placement m_placement;
    QPointer<QWidget> m_initialFocus;
    bool m_placed = false;
};
