#include "security/frmCreatePassword.h"

#include "ui_frmCreatePassword.h"

#include "security/passwordrule.h"
#include "shared/fonts.h"
#include "shared/programend.h"
#include "shared/textlimit.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>

frmCreatePassword::frmCreatePassword(VaultStore& vault, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::frmCreatePassword>()), vault_(vault)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                   | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(size());
    Fonts::UseArial(this);
    Fonts::UseCourier({ui->txtPassword1, ui->txtPassword2});
    TextLimit::KeepWhole(ui->txtPassword1);
    TextLimit::KeepWhole(ui->txtPassword2);

    connect(ui->cmdOk, &QPushButton::clicked, this, &frmCreatePassword::cmdOk_Click);
    connect(ui->cmdExit, &QPushButton::clicked, this, &frmCreatePassword::cmdExit_Click);
    ui->txtPassword1->setFocus();
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

void frmCreatePassword::cmdOk_Click()
{
    RunDialogCommand(this, [this] {
        if (PasswordRule::StoreIfValid(this, ui->txtPassword1, ui->txtPassword2, vault_, /*markInitialized=*/true))
            accept();
    });
}

void frmCreatePassword::cmdExit_Click()
{
    ProgramEnd::endNow();
    reject();
}
