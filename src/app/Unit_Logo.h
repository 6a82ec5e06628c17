#pragma once
// The splash screen: a borderless black window with one 400 x 240 picture; it closes after
// 3000 ms or when the picture is clicked.

#include <QDialog>

class QLabel;
class QTimer;

class TfrmLogo : public QDialog {
    Q_OBJECT
public:
    explicit TfrmLogo(QWidget *parent = nullptr);
    void Timer1Timer();
    void Image1Click();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLabel *Image1;
    QTimer *Timer1;
};
