#include "security/frmChangePassword.h"

#include "ui_frmChangePassword.h"

#include "security/passwordrule.h"
#include "shared/fixeddialog.h"
#include "shared/programend.h"
#include "shared/secrets.h"
#include "shared/settings.h"
#include "vault/vaultstore.h"

frmChangePassword::frmChangePassword(VaultStore& vault, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::frmChangePassword>()), vault_(vault)
{
    ui_->setupUi(this);
    FixedDialog::setUp(this);
    PasswordRule::setUpBoxes({ui_->txtPassword1, ui_->txtPassword2});

    ui_->txtPassword1->setText(vault_.currentMasterPassword());
    ui_->txtPassword2->setText(vault_.currentMasterPassword());

    // Only the exact values select; anything else leaves the choice open.
    const QString exitChoice = Settings::getSetting(Settings::ExitKey);
    if (exitChoice == Settings::TrayChoice)
        ui_->Option1->setChecked(true);
    else if (exitChoice == Settings::EndChoice)
        ui_->Option2->setChecked(true);
    updateOptionTabStop();

    // Connected only after the selection above, so opening saves nothing;
    // a choice by mouse, keyboard or a screen reader's action all toggle.
    connect(ui_->Option1, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            Option_Click(Settings::TrayChoice);
    });
    connect(ui_->Option2, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            Option_Click(Settings::EndChoice);
    });
    connect(ui_->Option1, &QRadioButton::toggled, this, &frmChangePassword::updateOptionTabStop);
    connect(ui_->cmdOk, &QPushButton::clicked, this, &frmChangePassword::cmdOk_Click);
    connect(ui_->cmdExit, &QPushButton::clicked, this, &frmChangePassword::cmdExit_Click);
    ui_->txtPassword1->setFocus();
}

frmChangePassword::~frmChangePassword() = default;

void frmChangePassword::done(int result)
{
    Secrets::wipeBox(ui_->txtPassword1);
    Secrets::wipeBox(ui_->txtPassword2);
    QDialog::done(result);
}

void frmChangePassword::updateOptionTabStop()
{
    // The pair is one tab stop: the selected option, or the first when
    // neither is; the arrow keys move between them.
    const bool secondIsStop = ui_->Option2->isChecked();
    ui_->Option1->setFocusPolicy(secondIsStop ? Qt::ClickFocus : Qt::StrongFocus);
    ui_->Option2->setFocusPolicy(secondIsStop ? Qt::StrongFocus : Qt::ClickFocus);
}

void frmChangePassword::Option_Click(const QString& choice)
{
    runDialogCommand(this, [&] { Settings::saveSetting(Settings::ExitKey, choice); });
}

void frmChangePassword::cmdOk_Click()
{
    PasswordRule::storeAndAccept(this, ui_->txtPassword1, ui_->txtPassword2, vault_, /*markInitialized=*/false);
}

void frmChangePassword::cmdExit_Click()
{
    reject();
}
