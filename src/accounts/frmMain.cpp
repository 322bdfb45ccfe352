#include "accounts/frmMain.h"

#include "ui_frmMain.h"

#include "accounts/frmEditAccount.h"
#include "accounts/frmNewAccount.h"
#include "desktop/frmAbout.h"
#include "desktop/links.h"
#include "report/reportwriter.h"
#include "security/frmChangePassword.h"
#include "security/frmCreatePassword.h"
#include "shared/desktopopen.h"
#include "shared/fonts.h"
#include "shared/messagebox.h"
#include "shared/module1.h"
#include "shared/programend.h"
#include "shared/settings.h"
#include "vault/apperror.h"
#include "vault/fileops.h"
#include "vault/stringcipher.h"
#include "vault/vaultstore.h"
#include "vault/wipe.h"

#include <QBuffer>
#include <QCloseEvent>
#include <QCursor>
#include <QLayout>
#include <QStringListModel>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString PasswordMask = QStringLiteral("****************");
const QString ScratchIcon = QStringLiteral("temp.icx");

// Start-up goes on past a step that fails with one of these codes.
bool skippable(const AppError& error)
{
    return error.code() == ErrorCode::Busy || error.code() == ErrorCode::PathAccess;
}

// Runs one start-up step; false when it failed and was skipped.
template <class Step>
bool attempt(Step&& step)
{
    try {
        step();
        return true;
    } catch (const AppError& error) {
        if (!skippable(error))
            throw;
        return false;
    }
}

}  // namespace

frmMain::frmMain(QWidget* parent) : QMainWindow(parent), ui(std::make_unique<Ui::frmMain>())
{
    ui->setupUi(this);
    Fonts::UseArial(this, {ui->lblUsernameCaption, ui->lblPasswordCaption, ui->lblURLCaption,
                           ui->lblHintCaption, ui->lblNotesCaption});
    Fonts::UseCourier({ui->lblUsername, ui->lblPassword});
    for (QToolButton* flat : {ui->cmdNewAccount, ui->FlatBttn2, ui->FlatBttn1, ui->cmdHelp, ui->cmdExit})
        flat->setFont(Fonts::SansSerif());

    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint);
    QIcon icon;
    for (int size : {16, 24, 32, 48})
        icon.addFile(QStringLiteral(":/icons/quillock-%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);
    centralWidget()->setFixedSize(466, 305);
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    ui->mnuTray->menuAction()->setVisible(false);
    ui->mnuEdit->menuAction()->setVisible(false);
    auto* separator = new QAction(this);
    separator->setObjectName(QStringLiteral("mnuX1"));
    separator->setSeparator(true);
    ui->mnuTray->insertAction(ui->mnuExit, separator);
    // The Edit menu is never shown, yet its keys must work.
    addActions({ui->mnuCut, ui->mnuCopy, ui->mnuPaste});

    accountNames_ = new QStringListModel(this);
    ui->cboAccount->setModel(accountNames_);

    timer_.setObjectName(QStringLiteral("timer"));
    timer_.setInterval(Module1::SecretLifetime);
    tray_.setObjectName(QStringLiteral("Tray1"));

    connect(ui->cboAccount, &QComboBox::activated, this, [this] { cboAccount_Click(); });
    connect(ui->cmdReveal, &QPushButton::clicked, this, [this] { cmdReveal_Click(); });
    connect(ui->cmdDelete, &QPushButton::clicked, this, [this] { cmdDelete_Click(); });
    connect(ui->cmdEdit, &QPushButton::clicked, this, [this] { cmdEdit_Click(); });
    connect(ui->cmdHttp, &QPushButton::clicked, this, [this] { cmdHttp_Click(); });
    connect(ui->cmdNewAccount, &QToolButton::clicked, this, [this] { cmdNewAccount_Click(); });
    connect(ui->FlatBttn1, &QToolButton::clicked, this, [this] { FlatBttn1_Click(); });
    connect(ui->FlatBttn2, &QToolButton::clicked, this, [this] { FlatBttn2_Click(); });
    connect(ui->cmdExit, &QToolButton::clicked, this, [this] { cmdExit_Click(); });
    connect(ui->cmdHelp, &QToolButton::clicked, this, [] { DesktopOpen::open(Links::HelpAddress()); });
    connect(ui->mnuHelpC, &QAction::triggered, this, [] { DesktopOpen::open(Links::HelpAddress()); });
    connect(ui->mnuWebsite, &QAction::triggered, this, [] { DesktopOpen::open(Links::WebsiteAddress); });
    connect(ui->mnuAbout, &QAction::triggered, this, [this] { frmAbout::showAbout(this); });
    connect(ui->mnuCut, &QAction::triggered, this, [] { Module1::CutText(); });
    connect(ui->mnuCopy, &QAction::triggered, this, [] { Module1::CopyText(); });
    connect(ui->mnuPaste, &QAction::triggered, this, [] { Module1::PasteText(); });
    connect(ui->mnuOpen, &QAction::triggered, this, [this] { mnuOpen_Click(); });
    connect(ui->mnuExit, &QAction::triggered, this, [this] { mnuExit_Click(); });
    connect(&timer_, &QTimer::timeout, this, [this] { RunCommand(this, [this] { LoadAccountList(); }); });
    connect(&tray_, &Tray::MouseAction, this, [this](int code) { Tray1_MouseAction(code); });
}

frmMain::~frmMain() = default;

VaultStore& frmMain::vault() const
{
    if (!vaultDb_)
        throw AppError(ErrorCode::ObjectNotSet, QStringLiteral("Object variable not set: the vault is not open."),
                       ErrorSource::Store);
    return *vaultDb_;
}

bool frmMain::Load()
{
    try {
        runStartUp();
    } catch (const AppError& error) {
        MessageBox::show(this,
                         QStringLiteral("error at formload") + error.description()
                             + QString::number(error.code()) + error.source(),
                         QMessageBox::Ok, QMessageBox::NoIcon);
        ProgramEnd::endNow();
    }
    return !ProgramEnd::ended();
}

void frmMain::runStartUp()
{
    const QString vaultPath = Module1::ApplicationFile(QStringLiteral("data.mdb"));
    const QString compactPath = Module1::ApplicationFile(QStringLiteral("data1.mdb"));

    // Held for the program's life: no other copy may replace the vault
    // under an open connection.
    attempt([&] { lock_ = std::make_unique<VaultLock>(Module1::ApplicationFolder()); });

    // A failing existence test still lets its action be tried.
    bool leftover = true;
    attempt([&] { leftover = FileOps::exists(compactPath); });
    if (leftover)
        attempt([&] { FileOps::remove(compactPath); });

    bool compacted = false;
    attempt([&] {
        if (!lock_)
            throw AppError(ErrorCode::Busy, QStringLiteral("The application folder cannot be locked."),
                           ErrorSource::Files);
        lock_->takeExclusive();
        VaultStore::compact(vaultPath, compactPath);
        compacted = true;
    });

    // Only a copy this start made, complete and flushed, may replace the
    // vault, and it does so in one rename: there is never a moment without one.
    bool copyExists = false;
    if (attempt([&] { copyExists = compacted && FileOps::exists(compactPath); }) && copyExists)
        attempt([&] { VaultStore::replaceVault(compactPath, vaultPath); });

    if (lock_)
        lock_->share();
    attempt([&] { vaultDb_ = VaultStore::open(vaultPath); });

    if (!Module1::IsVaultInitialized(vault())) {
        frmCreatePassword create(vault(), nullptr);
        create.exec();
        if (ProgramEnd::ended())
            return;
    }

    setWindowTitle(Module1::ProgramTitle);
    LoadAccountList();
    attempt([&] { writeScratchIcon(); });
    attempt([&] {
        tray_.IconFile = ScratchIcon;
        tray_.TipText = Module1::ProgramTitle;
        tray_.ShowIcon();
    });
}

void frmMain::writeScratchIcon()
{
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    windowIcon().pixmap(32, 32).save(&buffer, "PNG");
    FileOps::replaceFile(ScratchIcon, png);
}

void frmMain::LoadAccountList()
{
    for (QPushButton* button : {ui->cmdEdit, ui->cmdHttp, ui->cmdReveal, ui->cmdDelete})
        button->setEnabled(false);
    for (QLabel* label : {ui->lblUsername, ui->lblPassword, ui->lblURL, ui->lblHint, ui->lblNotes})
        label->clear();
    // The vault is read again only when another copy has written to it;
    // our own writes move just their entries.
    const AccountOrder& order = vault().accountOrder();
    if (!listed_ || listedGeneration_ != vault().orderGeneration()) {
        vault().takeListChanges();
        copyList(order);
    } else {
        for (const ListChange& change : vault().takeListChanges())
            applyToList(change);
    }
    ui->cboAccount->setCurrentIndex(-1);
    timer_.stop();
    // The labels emptied above no longer share the password's buffer.
    Secrets::wipe(Module1::SelectedPassword);
}

void frmMain::copyList(const AccountOrder& order)
{
    QStringList names;
    names.reserve(qsizetype(order.size()));
    listedRows_.clear();
    listedRows_.reserve(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        names.append(order.at(i).account);
        listedRows_.push_back(order.at(i).rowid);
    }
    // One reset of the whole model, not one insertion per name.
    accountNames_->setStringList(names);
    listedGeneration_ = vault().orderGeneration();
    listed_ = true;
}

void frmMain::applyToList(const ListChange& change)
{
    const int index = int(change.index);
    if (change.kind == ListChange::Removed) {
        ui->cboAccount->removeItem(index);
        listedRows_.erase(listedRows_.begin() + index);
    } else {
        ui->cboAccount->insertItem(index, change.entry.account);
        listedRows_.insert(listedRows_.begin() + index, change.entry.rowid);
    }
}

std::optional<qint64> frmMain::listedRowAt(int index) const
{
    if (index < 0 || static_cast<size_t>(index) >= listedRows_.size())
        return std::nullopt;
    return listedRows_[static_cast<size_t>(index)];
}

void frmMain::cboAccount_Click()
{
    RunCommand(this, [this] {
        timer_.start();
        const int index = ui->cboAccount->currentIndex();
        const auto row = vault().accountAt(qint64(index) + 1);
        // Another copy may have changed the vault since the list was built:
        // never show an account other than the one the entry names.
        if (!row || row->rowid != listedRowAt(index)) {
            LoadAccountList();
        } else {
            ui->lblUsername->setText(DecryptField(row->fields.username));
            ui->lblPassword->setText(PasswordMask);
            ui->lblURL->setText(row->fields.url);
            ui->lblHint->setText(row->fields.hint);
            ui->lblNotes->setText(row->fields.notes);
            // The label shows the mask by now, so the old password has no other holder.
            Secrets::wipe(Module1::SelectedPassword);
            Module1::SelectedPassword = DecryptField(row->fields.password);
        }
        ui->cmdEdit->setEnabled(true);
        ui->cmdDelete->setEnabled(true);
        if (Module1::TrimSpaces(ui->lblURL->text()).size() > 7)
            ui->cmdHttp->setEnabled(true);
        ui->cmdReveal->setEnabled(true);
    });
}

void frmMain::cmdReveal_Click()
{
    RunCommand(this, [this] {
        if (Module1::SecurityCheck(this, vault()))
            ui->lblPassword->setText(Module1::SelectedPassword);
        else
            Module1::ShowSecurityCheckFailed(this);
    });
}

void frmMain::cmdDelete_Click()
{
    RunCommand(this, [this] {
        timer_.stop();
        const auto answer = MessageBox::show(this, QStringLiteral("Delete this account from the Quillock database?"),
                                             QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Question,
                                             QStringLiteral("Delete Confirmation. . ."));
        if (answer != QMessageBox::Ok)
            return;
        const int index = ui->cboAccount->currentIndex();
        if (const auto rowid = listedRowAt(index))
            vault().deleteAccountAt(qint64(index) + 1, *rowid);
        LoadAccountList();
    });
}

void frmMain::cmdEdit_Click()
{
    RunCommand(this, [this] {
        if (!Module1::SecurityCheck(this, vault())) {
            Module1::ShowSecurityCheckFailed(this);
            return;
        }
        const int index = ui->cboAccount->currentIndex();
        if (ShowEditAccount(this, vault(), index, listedRowAt(index)) && !ProgramEnd::ended())
            LoadAccountList();
    });
}

void frmMain::cmdHttp_Click()
{
    // An address stored by other means may name a local file or program:
    // only web addresses go to the desktop.
    if (const auto address = Links::WebAddress(ui->lblURL->text()))
        DesktopOpen::open(*address);
}

void frmMain::cmdNewAccount_Click()
{
    RunCommand(this, [this] {
        frmNewAccount dialog(vault(), this);
        if (dialog.exec() == QDialog::Accepted && !ProgramEnd::ended())
            LoadAccountList();
    });
}

void frmMain::FlatBttn1_Click()
{
    RunCommand(this, [this] {
        if (!Module1::SecurityCheck(this, vault())) {
            Module1::ShowSecurityCheckFailed(this);
            return;
        }
        frmChangePassword dialog(vault(), this);
        dialog.exec();
    });
}

void frmMain::FlatBttn2_Click()
{
    RunCommand(this, [this] {
        if (!Module1::SecurityCheck(this, vault())) {
            Module1::ShowSecurityCheckFailed(this);
            return;
        }
        WriteReport(vault(), Module1::ApplicationFile(QStringLiteral("report.htm")));
        DesktopOpen::open(ReportAddress(Module1::ApplicationFolder()));
    });
}

void frmMain::cmdExit_Click()
{
    RunCommand(this, [this] {
        const QString report = Module1::ApplicationFile(QStringLiteral("report.htm"));
        if (FileOps::exists(report))
            FileOps::remove(report);
        const QString choice = Settings::GetSetting(Settings::ExitKey);
        if (choice == QLatin1String("E")) {
            endSequence();
        } else if (choice == QLatin1String("T")) {
            hideToTray();
        } else {
            const auto answer = MessageBox::show(
                this,
                QStringLiteral("Do you want to leave an icon in the system tray (next to the current time in the "
                               "bottom right hand corner of your screen)?  If yes, you can quickly access Quillock "
                               "by clicking on the Quillock icon in the tray.  If no, you will have to start "
                               "Quillock using the windows start menu."),
                QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Question,
                QStringLiteral("Quillock Exit Utility"), QMessageBox::Yes);
            if (answer == QMessageBox::Yes)
                hideToTray();
            else if (answer == QMessageBox::No)
                endSequence();
        }
    });
}

void frmMain::hideToTray()
{
    // Without a tray there would be no way back to a hidden window.
    if (Tray::IsAvailable())
        hide();
    else
        showMinimized();
}

void frmMain::showFromTray()
{
    showNormal();
    raise();
    activateWindow();
}

void frmMain::endSequence()
{
    // A revealed password shares its buffer with the label: empty that first.
    ui->lblPassword->clear();
    Secrets::wipe(Module1::SelectedPassword);
    tray_.RemoveIcon();
    if (FileOps::exists(ScratchIcon))
        FileOps::remove(ScratchIcon);
    ProgramEnd::endNow();
}

void frmMain::Tray1_MouseAction(int code)
{
    // Failures here are ignored, as they are while a modal dialog is open.
    try {
        if (code == Tray::ContextMenu)
            ui->mnuTray->popup(QCursor::pos());
        if (code == Tray::Restore)
            showFromTray();
    } catch (const AppError&) {
    }
}

void frmMain::mnuOpen_Click()
{
    try {
        showFromTray();
    } catch (const AppError&) {
    }
}

void frmMain::mnuExit_Click()
{
    RunCommand(this, [this] { endSequence(); });
}

void frmMain::closeEvent(QCloseEvent* event)
{
    event->accept();
    if (unloaded_)
        return;
    unloaded_ = true;
    ui->lblPassword->clear();
    Secrets::wipe(Module1::SelectedPassword);
    Module1::clearClipboardSecret();
    RunCommand(this, [this] {
        vaultDb_.reset();
        tray_.RemoveIcon();
        if (FileOps::exists(ScratchIcon))
            FileOps::remove(ScratchIcon);
    });
    QCoreApplication::quit();
}
