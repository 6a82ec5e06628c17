// The records window's way into the capture station: 拍摄(&T)… takes a photo of the current case
// into the slot chosen in the station, its first empty after slot unless another is chosen. The
// case is saved first, so the station stores into the row as the database holds it; the case is
// shown again afterwards with its new picture.
#include "records/Unit_Manager.h"
#include "ui_Unit_Manager.h"

#include "capture/Capture.h"
#include "capture/CaptureWindow.h"
#include "data/Unit_DataMod.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"

#include <QPushButton>
#include <QSqlDatabase>

void Tfrm_Manager::setupCapture()
{
    auto *button = new QPushButton(QStringLiteral("拍摄(&T)…"), m_ui->Pl_Case);
    button->setObjectName(QStringLiteral("btn_Capture"));
    button->setAutoDefault(false);
    button->setGeometry(540, 1, 88, 20);
    connectGuarded(button, &QPushButton::clicked, this, [this](auto...) { TakePictureClick(); });
}

void Tfrm_Manager::TakePictureClick()
{
    if (adt_Surgery->isEditing())
        adt_Surgery->post();
    if (adt_Surgery->isEmpty()) {
        Prompter::instance().showMessage(this, QStringLiteral("请先增加案例"));
        return;
    }
    const qint64 caseId = adt_Surgery->value(QStringLiteral("id")).toLongLong();
    const QSqlDatabase db = QSqlDatabase::database(DataMod->ADOConn, false);
    bool after = true;
    int slot = 0;
    if (!CaptureWindow::firstEmptySlot(db, caseId, &after, &slot)) {
        Prompter::instance().showMessage(this, QStringLiteral("这个案例的六张照片都已有图片"));
        return;
    }
    if (!Capture::takeInto(this, DataMod->ADOConn, DataMod->programFolder(), caseId, &after, &slot))
        return;
    adt_Surgery->refresh();
    adt_Surgery->locate(QStringLiteral("id"), caseId);
}
