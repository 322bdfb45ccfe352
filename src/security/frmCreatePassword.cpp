#include "security/frmCreatePassword.h"

#include "ui_frmCreatePassword.h"

#include "security/passwordrule.h"
#include "shared/fixeddialog.h"
#include "shared/programend.h"
#include "shared/secrets.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>

frmCreatePassword::frmCreatePassword(VaultStore& vault, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::frmCreatePassword>()), vault_(vault)
{
    ui_->setupUi(this);
    FixedDialog::setUp(this);
    PasswordRule::setUpBoxes({ui_->txtPassword1, ui_->txtPassword2});

    connect(ui_->cmdOk, &QPushButton::clicked, this, &frmCreatePassword::cmdOk_Click);
    connect(ui_->cmdExit, &QPushButton::clicked, this, &frmCreatePassword::cmdExit_Click);
    ui_->txtPassword1->setFocus();
}

frmCreatePassword::~frmCreatePassword() = default;

void frmCreatePassword::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (placed_)
        return;
    placed_ = true;
    // The main window is not shown yet, so the screen is the only reference.
    QScreen* where = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!where)
        return;
    QRect frame = frameGeometry();
    frame.moveCenter(where->availableGeometry().center());
    move(frame.topLeft());
}

void frmCreatePassword::closeEvent(QCloseEvent* event)
{
    // Going on from here would leave a vault without a master password.
    cmdExit_Click();
    QDialog::closeEvent(event);
}

void frmCreatePassword::keyPressEvent(QKeyEvent* event)
{
    // There is no cancel button: Escape must not end the program.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void frmCreatePassword::done(int result)
{
    Secrets::wipeBox(ui_->txtPassword1);
    Secrets::wipeBox(ui_->txtPassword2);
    QDialog::done(result);
}

void frmCreatePassword::cmdOk_Click()
{
    PasswordRule::storeAndAccept(this, ui_->txtPassword1, ui_->txtPassword2, vault_, /*markInitialized=*/true);
}

void frmCreatePassword::cmdExit_Click()
{
    ProgramEnd::endNow();
    reject();
}
