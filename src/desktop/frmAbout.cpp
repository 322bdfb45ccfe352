#include "desktop/frmAbout.h"

#include "ui_frmAbout.h"

#include "desktop/links.h"
#include "shared/desktopopen.h"
#include "shared/fixeddialog.h"
#include "shared/fonts.h"

#include <QEvent>

frmAbout::frmAbout(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::frmAbout>())
{
    ui_->setupUi(this);
    FixedDialog::setUp(this, {ui_->Label1, ui_->lblVersion, ui_->csHyperlink1});
    QFont linkFont = Fonts::arial(true);
    linkFont.setUnderline(true);
    ui_->csHyperlink1->setFont(linkFont);

    connect(ui_->cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);
    // The link goes through the desktop seam like every other address.
    ui_->csHyperlink1->setTextFormat(Qt::RichText);
    ui_->csHyperlink1->setText(
        QStringLiteral("<a href=\"%1\">%2</a>")
            .arg(Links::SupportAddress.toHtmlEscaped(), ui_->csHyperlink1->text().toHtmlEscaped()));
    ui_->csHyperlink1->setOpenExternalLinks(false);
    ui_->csHyperlink1->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    connect(ui_->csHyperlink1, &QLabel::linkActivated, this, &frmAbout::csHyperlink1_Click);

    loadContents();
}

frmAbout::~frmAbout() = default;

void frmAbout::showAbout(QWidget* owner)
{
    frmAbout box(owner);
    box.exec();
}

void frmAbout::loadContents()
{
    // Nothing that goes wrong here is worth keeping the box from showing.
    try {
        ui_->lblVersion->setText(Links::versionLine());
        ui_->Picture1->setPixmap(QPixmap(QStringLiteral(":/icons/quillock-32.png")));
    } catch (...) {
    }
}

void frmAbout::cmdOK_Click()
{
    accept();
}

void frmAbout::csHyperlink1_Click()
{
    DesktopOpen::open(Links::SupportAddress);
}

void frmAbout::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() != QEvent::ActivationChange || !isVisible())
        return;
    // Only a box that had the focus can lose it; showing is not losing.
    if (isActiveWindow())
        wasActive_ = true;
    else if (wasActive_)
        cmdOK_Click();
}
