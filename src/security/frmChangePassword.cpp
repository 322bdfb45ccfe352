#include "security/frmChangePassword.h"

#include "ui_frmChangePassword.h"

#include "security/passwordrule.h"
#include "shared/fonts.h"
#include "shared/programend.h"
#include "shared/settings.h"
#include "shared/textlimit.h"
#include "vault/stringcipher.h"
#include "vault/vaultstore.h"

namespace {
const QString TrayChoice = QStringLiteral("T");
const QString EndChoice = QStringLiteral("E");
}  // namespace

frmChangePassword::frmChangePassword(VaultStore& vault, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::frmChangePassword>()), vault_(vault)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                   | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(size());
    Fonts::UseArial(this);
    Fonts::UseCourier({ui->txtPassword1, ui->txtPassword2});
    TextLimit::KeepWhole(ui->txtPassword1);
    TextLimit::KeepWhole(ui->txtPassword2);

    const QString stored = vault_.storedMasterPassword();
    ui->txtPassword1->setText(Decrypt(stored));
    ui->txtPassword2->setText(Decrypt(stored));

    // Only the exact values select; anything else leaves the choice open.
    const QString exitChoice = Settings::GetSetting(Settings::ExitKey);
    if (exitChoice == TrayChoice)
        ui->Option1->setChecked(true);
    else if (exitChoice == EndChoice)
        ui->Option2->setChecked(true);
    updateOptionTabStop();

    // Connected only after the selection above, so opening saves nothing;
    // a choice by mouse, keyboard or a screen reader's action all toggle.
    connect(ui->Option1, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            Option_Click(TrayChoice);
    });
    connect(ui->Option2, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            Option_Click(EndChoice);
    });
    connect(ui->Option1, &QRadioButton::toggled, this, &frmChangePassword::updateOptionTabStop);
    connect(ui->cmdOk, &QPushButton::clicked, this, &frmChangePassword::cmdOk_Click);
    connect(ui->cmdExit, &QPushButton::clicked, this, &frmChangePassword::cmdExit_Click);
    ui->txtPassword1->setFocus();
}

frmChangePassword::~frmChangePassword() = default;

void frmChangePassword::updateOptionTabStop()
{
    // The pair is one tab stop: the selected option, or the first when
    // neither is; the arrow keys move between them.
    const bool secondIsStop = ui->Option2->isChecked();
    ui->Option1->setFocusPolicy(secondIsStop ? Qt::ClickFocus : Qt::StrongFocus);
    ui->Option2->setFocusPolicy(secondIsStop ? Qt::StrongFocus : Qt::ClickFocus);
}

void frmChangePassword::Option_Click(const QString& choice)
{
    RunDialogCommand(this, [&] { Settings::SaveSetting(Settings::ExitKey, choice); });
}

void frmChangePassword::cmdOk_Click()
{
    RunDialogCommand(this, [this] {
        if (PasswordRule::StoreIfValid(this, ui->txtPassword1, ui->txtPassword2, vault_, /*markInitialized=*/false))
            accept();
    });
}

void frmChangePassword::cmdExit_Click()
{
    reject();
}
