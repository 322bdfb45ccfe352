#include "desktop/frmAbout.h"

#include "ui_frmAbout.h"

#include "desktop/links.h"
#include "shared/desktopopen.h"
#include "shared/fonts.h"

#include <QEvent>

frmAbout::frmAbout(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::frmAbout>())
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                   | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(size());
    Fonts::UseArial(this, {ui->Label1, ui->lblVersion, ui->csHyperlink1});
    QFont linkFont = Fonts::Arial(true);
    linkFont.setUnderline(true);
    ui->csHyperlink1->setFont(linkFont);

    connect(ui->cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);
    // The link goes through the desktop seam like every other address.
    ui->csHyperlink1->setTextFormat(Qt::RichText);
    ui->csHyperlink1->setText(QStringLiteral("<a href=\"%1\">%2</a>")
                                  .arg(Links::SupportAddress.toHtmlEscaped(),
                                       ui->csHyperlink1->text().toHtmlEscaped()));
    ui->csHyperlink1->setOpenExternalLinks(false);
    ui->csHyperlink1->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    connect(ui->csHyperlink1, &QLabel::linkActivated, this, [this] { csHyperlink1_Click(); });

    Form_Load();
}

frmAbout::~frmAbout() = default;

void frmAbout::showAbout(QWidget* owner)
{
    frmAbout box(owner);
    box.exec();
}

void frmAbout::Form_Load()
{
    // Nothing that goes wrong here is worth keeping the box from showing.
    try {
        ui->lblVersion->setText(Links::VersionLine());
        ui->Picture1->setPixmap(QPixmap(QStringLiteral(":/icons/quillock-32.png")));
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
