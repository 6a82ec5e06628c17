#pragma once
// The hospital number dialog: shows the current number, refuses anything but exactly 2 bytes of
// code page 936 (two letters or digits, or one Chinese character) and ends with OK or cancel.
// It reads and writes nothing itself; on OK the caller takes number().

#include "widgets/FixedDialog.h"

#include <memory>

namespace Ui {
class Tfrm_SetNo;
}

class Tfrm_SetNo : public FixedDialog {
    Q_OBJECT
public:
    Tfrm_SetNo(QWidget *owner, const QString &number);
    ~Tfrm_SetNo() override;

    Ui::Tfrm_SetNo *ui() const { return m_ui.get(); }
    QString number() const; // the text of Edit1

    // Handlers.
    void Button1Click();

    static constexpr int TypingLimit = 2;

private:
    std::unique_ptr<Ui::Tfrm_SetNo> m_ui;
};
