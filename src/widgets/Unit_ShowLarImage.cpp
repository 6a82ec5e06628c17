#include "widgets/Unit_ShowLarImage.h"

#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

TfrmLarImage::TfrmLarImage(QImage picture)
    : QDialog(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMaximizeButtonHint
                           | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmLarImage"));
    setWindowTitle(QStringLiteral("大图"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    auto *lay = new QVBoxLayout(this);
    lay->setContentsMargins(0, 0, 0, 0);
    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setAlignment(Qt::AlignCenter);
    // Smaller than the picture, the window cuts it at the edges; the label never asks for more.
    Image1->setMinimumSize(1, 1);
    Image1->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    const QSize size = picture.size();
    Image1->setPixmap(QPixmap::fromImage(std::move(picture)));
    lay->addWidget(Image1);
    resize(size);
}
