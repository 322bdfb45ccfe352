#include "security/frmMasterPassword.h"

#include "ui_frmMasterPassword.h"

#include "security/passwordrule.h"
#include "shared/fixeddialog.h"
#include "shared/module1.h"
#include "shared/secrets.h"

frmMasterPassword::frmMasterPassword(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::frmMasterPassword>())
{
    ui_->setupUi(this);
    FixedDialog::setUp(this);
    PasswordRule::setUpBoxes({ui_->txtPassword});

    connect(ui_->cmdOk, &QPushButton::clicked, this, &frmMasterPassword::cmdOk_Click);
    ui_->txtPassword->setFocus();
}

frmMasterPassword::~frmMasterPassword()
{
    // The typed text has no holder but the box and, after OK,
    // EnteredPassword, which the check wipes once it has compared.
    Secrets::wipeBox(ui_->txtPassword);
}

void frmMasterPassword::cmdOk_Click()
{
    Module1::EnteredPassword = ui_->txtPassword->text();
    accept();
}
