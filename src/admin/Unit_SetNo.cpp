#include "admin/Unit_SetNo.h"
#include "ui_Unit_SetNo.h"

#include "data/Gbk.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"

#include <QValidator>

namespace {

// Limits what is typed, not what is put in: a longer text given to the field stays whole and can
// be shortened, but typing or pasting never makes the text longer than the limit (a paste is cut
// to what fits). QLineEdit's own maxLength would cut a longer text put into the field.
class TypingLimitValidator : public QValidator {
public:
    TypingLimitValidator(QLineEdit *edit, int limit) : QValidator(edit), m_limit(limit)
    {
        m_before = edit->text();
        connect(edit, &QLineEdit::textChanged, this, [this](const QString &t) { m_before = t; });
    }
    State validate(QString &input, int &pos) const override
    {
        if (input.size() <= m_limit || input.size() < m_before.size())
            return Acceptable;
        // Keep as much of what was typed or pasted as still fits, as the platform's edit does.
        int pre = 0;
        while (pre < input.size() && pre < m_before.size() && input.at(pre) == m_before.at(pre))
            ++pre;
        int suf = 0;
        while (suf < input.size() - pre && suf < m_before.size() - pre
               && input.at(input.size() - 1 - suf) == m_before.at(m_before.size() - 1 - suf))
            ++suf;
        const int room = m_limit - (pre + suf);
        if (room <= 0)
            return Invalid;
        input = input.left(pre) + input.mid(pre, room) + input.right(suf);
        pos = pre + room;
        return Acceptable;
    }

private:
    int m_limit;
    QString m_before;
};

} // namespace

Tfrm_SetNo::Tfrm_SetNo(QWidget *owner, const QString &number) : FixedDialog(owner), m_ui(new Ui::Tfrm_SetNo)
{
    m_ui->setupUi(this);
    fixDesign(QSize(270, 133));
    m_ui->Edit1->setText(number);
    m_ui->Edit1->setValidator(new TypingLimitValidator(m_ui->Edit1, TypingLimit));
    setInitialFocus(m_ui->Edit1);

    connectGuarded(m_ui->Button1, &QPushButton::clicked, this, [this](auto...) { Button1Click(); });
    connect(m_ui->Button2, &QPushButton::clicked, this, [this] { reject(); });
}

Tfrm_SetNo::~Tfrm_SetNo() = default;

QString Tfrm_SetNo::number() const
{
    return m_ui->Edit1->text();
}

void Tfrm_SetNo::Button1Click()
{
    const QString text = m_ui->Edit1->text();
    if (text.isEmpty() || Gbk::byteLength(text) != 2) {
        Prompter::instance().messageBox(this, QStringLiteral("请输入编号，编号长度等于2个字符"), QStringLiteral("提示"),
                                        Prompt::Ok, Prompt::NoIcon, Prompt::Ok);
        return;
    }
    accept();
}
