// The consent boxes of the case panel: what the current case's customer agreed to, edited like
// the case's own fields and saved in the same transaction as the case row, and the command that
// gives every case of the customer one level.
#include "records/Unit_Manager.h"
#include "ui_Unit_Manager.h"

#include "data/AppError.h"
#include "data/DataSet.h"
#include "data/Unit_DataMod.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"

#include <QComboBox>
#include <QMenu>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QSqlDatabase>
#include <QLineEdit>

namespace {

const QString kCustomerNo = QStringLiteral("客户编号");

QSqlDatabase connection()
{
    return QSqlDatabase::database(DataMod->ADOConn, false);
}

} // namespace

QDate Tfrm_Manager::parseConsentDate(const QString &text, bool *ok)
{
    const QString t = text.trimmed();
    *ok = true;
    if (t.isEmpty())
        return {};
    // Year first only: a day-month or month-day reading would silently store another date.
    static const QRegularExpression form(QStringLiteral("^(\\d{4})([-/.])(\\d{1,2})\\2(\\d{1,2})$"));
    const QRegularExpressionMatch m = form.match(t);
    const QDate d = m.hasMatch() ? QDate(m.captured(1).toInt(), m.captured(3).toInt(), m.captured(4).toInt()) : QDate();
    *ok = d.isValid();
    return d;
}

void Tfrm_Manager::setupConsent()
{
    m_ui->cbox_Consent->addItems(Consent::labels());
    m_ui->ed_ConsentDate->setMaxLength(10);
    m_ui->ed_ConsentNote->setMaxLength(200);

    auto *menu = new QMenu(m_ui->btn_ConsentAll);
    menu->setObjectName(QStringLiteral("menu_ConsentAll"));
    const QStringList labels = Consent::labels();
    for (int i = 0; i < labels.size(); ++i) {
        QAction *a = menu->addAction(labels.at(i));
        const Consent::Level level = Consent::fromInt(i);
        connectGuarded(a, &QAction::triggered, this, [this, level](auto...) { SetAllConsent(level); });
    }
    m_ui->btn_ConsentAll->setMenu(menu);
    m_ui->btn_ConsentAll->setPopupMode(QToolButton::InstantPopup);

    connectGuarded(m_ui->cbox_Consent, &QComboBox::activated, this, [this](auto...) { ConsentEdited(); });
    connectGuarded(m_ui->ed_ConsentDate, &QLineEdit::textEdited, this, [this](auto...) { ConsentEdited(); });
    connectGuarded(m_ui->ed_ConsentNote, &QLineEdit::textEdited, this, [this](auto...) { ConsentEdited(); });
    connect(adt_Surgery, &DataSet::stateChanged, this, [this] { ShowCaseConsent(); });
    connect(adt_Surgery, &DataSet::recordChanged, this, [this] { ShowCaseConsent(); });

    // A photo's own agreement, from the picture box's context menu: it can only narrow the case's.
    auto *photoMenu = new QMenu(this);
    photoMenu->setObjectName(QStringLiteral("menu_PhotoConsent"));
    const QList<QPair<QString, int>> choices{{QStringLiteral("按案例的授权(&A)"), -1},
                                             {QStringLiteral("此图仅向顾客展示(&S)"), int(Consent::Level::MayShow)},
                                             {QStringLiteral("此图不公开(&N)"), int(Consent::Level::RecordOnly)}};
    for (const auto &c : choices) {
        QAction *a = photoMenu->addAction(c.first);
        a->setCheckable(true);
        a->setData(c.second);
        connectGuarded(a, &QAction::triggered, this, [this, code = c.second](auto...) {
            SetPhotoConsent(code < 0 ? std::nullopt : std::optional<Consent::Level>(Consent::fromInt(code)));
        });
    }
    const QList<QLineEdit *> boxes = pictureBoxes();
    for (int i = 0; i < boxes.size(); ++i) {
        QLineEdit *box = boxes.at(i);
        box->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(box, &QWidget::customContextMenuRequested, this, [this, box, photoMenu, i](const QPoint &at) {
            // Only a saved case's stored photo has an agreement of its own.
            if (adt_Surgery->state() != DataSet::Browse || adt_Surgery->isEmpty() || box->text().trimmed().isEmpty())
                return;
            m_photoColumn = pictureColumns().at(i);
            const auto own = Consent::photoLevels(connection(), adt_Surgery->value(QStringLiteral("id")).toLongLong());
            const int code = own.contains(m_photoColumn) ? int(own.value(m_photoColumn)) : -1;
            for (QAction *a : photoMenu->actions())
                a->setChecked(a->data().toInt() == code);
            photoMenu->popup(box->mapToGlobal(at));
        });
    }
}

void Tfrm_Manager::SetPhotoConsent(std::optional<Consent::Level> level)
{
    if (m_photoColumn.isEmpty() || adt_Surgery->state() != DataSet::Browse || adt_Surgery->isEmpty())
        return;
    Consent::writePhoto(connection(), adt_Surgery->value(QStringLiteral("id")).toLongLong(),
                        adt_Surgery->asString(QStringLiteral("客户编号")), m_photoColumn, level);
    ShowCaseConsent();
}

void Tfrm_Manager::showConsent(const Consent::Record &r)
{
    const QSignalBlocker b1(m_ui->cbox_Consent), b2(m_ui->ed_ConsentDate), b3(m_ui->ed_ConsentNote);
    m_ui->cbox_Consent->setCurrentIndex(static_cast<int>(r.level));
    m_ui->ed_ConsentDate->setText(r.signedOn.isValid() ? r.signedOn.toString(QStringLiteral("yyyy-MM-dd")) : QString());
    m_ui->ed_ConsentNote->setText(r.note);
}

void Tfrm_Manager::ShowCaseConsent()
{
    // Edits not saved yet stay in the boxes until the case is saved or its edits are dropped.
    if (m_consentEdited && adt_Surgery->isEditing())
        return;
    m_consentEdited = false;
    // A new case starts as record only; a saved one shows what is stored for it.
    Consent::Record r;
    const DataSet::State state = adt_Surgery->state();
    if (state == DataSet::Edit || (state == DataSet::Browse && !adt_Surgery->isEmpty()))
        r = Consent::read(connection(), adt_Surgery->value(QStringLiteral("id")).toLongLong());
    showConsent(r);
    // Each picture box tells when its photo has an agreement of its own.
    QHash<QString, Consent::Level> own;
    if (state == DataSet::Browse && !adt_Surgery->isEmpty())
        own = Consent::photoLevels(connection(), adt_Surgery->value(QStringLiteral("id")).toLongLong());
    const QList<QLineEdit *> boxes = pictureBoxes();
    for (int i = 0; i < boxes.size(); ++i) {
        const QString column = pictureColumns().at(i);
        QLineEdit *box = boxes.at(i);
        // The form's own tip stays, with the photo's agreement after it.
        if (!box->property("formToolTip").isValid())
            box->setProperty("formToolTip", box->toolTip());
        const QString tip = box->property("formToolTip").toString();
        box->setToolTip(
            own.contains(column) ? tip + QStringLiteral("（%1）").arg(Consent::photoLabel(own.value(column))) : tip);
    }
    const bool hasCustomer = adt_UserInfo->isActive() && !adt_UserInfo->isEmpty();
    for (QWidget *w : {static_cast<QWidget *>(m_ui->cbox_Consent), static_cast<QWidget *>(m_ui->ed_ConsentDate),
                       static_cast<QWidget *>(m_ui->ed_ConsentNote), static_cast<QWidget *>(m_ui->btn_ConsentAll)})
        w->setEnabled(hasCustomer);
}

void Tfrm_Manager::ConsentEdited()
{
    if (adt_Surgery->isEditing()) {
        m_consentEdited = true;
        adt_Surgery->setModified();
        return;
    }
    // The first change of a case not being edited puts it into editing (a customer without cases
    // gets a new case), as its other boxes do; the boxes keep what the user just chose or typed.
    m_consentEdited = true;
    try {
        adt_Surgery->edit();
    } catch (...) {
        m_consentEdited = false;
        ShowCaseConsent();
        throw;
    }
    adt_Surgery->setModified();
}

Consent::Record Tfrm_Manager::EditedConsent() const
{
    Consent::Record r;
    r.level = Consent::fromInt(m_ui->cbox_Consent->currentIndex());
    bool ok = false;
    r.signedOn = parseConsentDate(m_ui->ed_ConsentDate->text(), &ok);
    r.note = m_ui->ed_ConsentNote->text().trimmed();
    return r;
}

void Tfrm_Manager::CheckConsentBeforePost()
{
    if (!m_consentEdited)
        return;
    bool ok = false;
    parseConsentDate(m_ui->ed_ConsentDate->text(), &ok);
    if (!ok) {
        Prompter::instance().showMessage(this, QStringLiteral("授权签署日期无效，请按“年-月-日”填写，如 2024-03-15。"));
        throw Abort();
    }
}

void Tfrm_Manager::SaveCaseConsent(const QVariantList &values)
{
    if (!m_consentEdited)
        return;
    const qint64 id = values.value(adt_Surgery->fieldIndex(QStringLiteral("id"))).toLongLong();
    const QString customerNo = values.value(adt_Surgery->fieldIndex(kCustomerNo)).toString();
    Consent::write(connection(), id, customerNo, EditedConsent());
}

void Tfrm_Manager::SetAllConsent(Consent::Level level)
{
    if (!adt_UserInfo->isActive() || adt_UserInfo->isEmpty())
        return;
    // The case being edited is settled first, as before any operation on the customer.
    adt_Surgery->checkBrowseMode();
    const int cases = adt_Surgery->recordCount();
    if (cases == 0) {
        Prompter::instance().messageBox(this, QStringLiteral("本客户还没有手术案例。"), QStringLiteral("提示"),
                                        Prompt::Ok, Prompt::Information, Prompt::Ok);
        return;
    }
    const QString customerNo = adt_UserInfo->asString(kCustomerNo);
    const int changing = Consent::casesAtOtherLevel(connection(), customerNo, level);
    Prompter &p = Prompter::instance();
    if (changing == 0) {
        p.messageBox(this, QStringLiteral("本客户全部手术案例的授权已是“%1”。").arg(Consent::label(level)),
                     QStringLiteral("提示"), Prompt::Ok, Prompt::Information, Prompt::Ok);
        return;
    }
    // Only the cases whose level changes are signed anew; ask on which day.
    const QString question = QStringLiteral("把本客户 %1 个手术案例的授权改为“%2”（已是“%2”的 %3 个案例及各案例的备注"
                                            "保持不变）。\n请输入这次签署的日期：")
                                 .arg(changing)
                                 .arg(Consent::label(level))
                                 .arg(cases - changing);
    const QString typed = p.askText(this, QStringLiteral("签署日期"), question,
                                    QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")));
    if (typed.isNull())
        return;
    bool ok = false;
    const QDate signedOn = parseConsentDate(typed, &ok);
    if (!ok || !signedOn.isValid()) {
        p.messageBox(this, QStringLiteral("“%1”不是有效的日期，请按 2024-03-15 的格式输入签署日期。").arg(typed),
                     QStringLiteral("提示"), Prompt::Ok, Prompt::Warning, Prompt::Ok);
        return;
    }
    // The cases shown are those of the number in the customer box.
    Consent::setForCustomer(connection(), customerNo, level, signedOn);
    ShowCaseConsent();
}
