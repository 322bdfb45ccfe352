#include "security/frmMasterPassword.h"

#include "ui_frmMasterPassword.h"

#include "shared/fonts.h"
#include "shared/module1.h"
#include "shared/textlimit.h"
#include "vault/wipe.h"

frmMasterPassword::frmMasterPassword(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::frmMasterPassword>())
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                   | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(size());
    Fonts::UseArial(this);
    Fonts::UseCourier({ui->txtPassword});
    TextLimit::KeepWhole(ui->txtPassword);

    connect(ui->cmdOk, &QPushButton::clicked, this, &frmMasterPassword::cmdOk_Click);
    ui->txtPassword->setFocus();
}

frmMasterPassword::~frmMasterPassword()
{
    // Taken out of the box, the typed text has no holder but this one and,
    // after OK, EnteredPassword, which the check wipes once it has compared.
    QString entry = ui->txtPassword->text();
    ui->txtPassword->setText(QString());
    Secrets::wipe(entry);
}

void frmMasterPassword::cmdOk_Click()
{
    Module1::EnteredPassword = ui->txtPassword->text();
    accept();
}
