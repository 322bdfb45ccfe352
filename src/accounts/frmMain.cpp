#include "accounts/frmMain.h"

#include "ui_frmMain.h"

#include "accounts/clipboard.h"
#include "accounts/frmEditAccount.h"
#include "accounts/frmNewAccount.h"
#include "desktop/frmAbout.h"
#include "desktop/links.h"
#include "report/reportwriter.h"
#include "security/frmChangePassword.h"
#include "security/frmCreatePassword.h"
#include "security/securitycheck.h"
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
#include <QFileInfo>
#include <QLayout>
#include <QScopeGuard>
#include <QStringListModel>

namespace {

const QString PasswordMask = QStringLiteral("****************");
const QString ScratchIcon = QStringLiteral("temp.icx");
// What a screen reader says for an empty detail label, and for the mask.
const QString EmptySpoken = QStringLiteral("empty");
const QString MaskSpoken = QStringLiteral("masked");

std::function<void(frmMain::StartUpStep)>& startUpProbe()
{
    static std::function<void(frmMain::StartUpStep)> probe;
    return probe;
}

// Runs one start-up step; false when it failed with 3356 or 75 and was
// skipped. Any other failure goes on to start-up's own handler.
template <class Step> bool attempt(frmMain::StartUpStep which, Step&& step)
{
    try {
        if (startUpProbe())
            startUpProbe()(which);
        step();
        return true;
    } catch (const AppError& error) {
        if (error.code() != ErrorCode::Busy && error.code() != ErrorCode::PathAccess)
            throw;
        return false;
    }
}

// The text of the caption label that names `detail`.
QString captionOf(const QLabel* detail)
{
    for (const QLabel* caption : detail->parentWidget()->findChildren<QLabel*>(Qt::FindDirectChildrenOnly))
        if (caption->buddy() == detail)
            return caption->text();
    return {};
}

}  // namespace

frmMain::frmMain(QWidget* parent) : QMainWindow(parent), ui_(std::make_unique<Ui::frmMain>())
{
    ui_->setupUi(this);
    Fonts::useArial(this,
                    {ui_->lblUsernameCaption, ui_->lblPasswordCaption, ui_->lblURLCaption, ui_->lblHintCaption,
                     ui_->lblNotesCaption});
    Fonts::useCourier({ui_->lblUsername, ui_->lblPassword});
    for (QToolButton* flat : {ui_->cmdNewAccount, ui_->FlatBttn2, ui_->FlatBttn1, ui_->cmdHelp, ui_->cmdExit})
        flat->setFont(Fonts::sansSerif());

    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint);
    QIcon icon;
    for (int size : {16, 24, 32, 48})
        icon.addFile(QStringLiteral(":/icons/quillock-%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);
    centralWidget()->setFixedSize(466, 305);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    // The first stop of the tab order: a first key press starts no guarded command.
    ui_->cmdExit->setFocus();

    ui_->mnuTray->menuAction()->setVisible(false);
    ui_->mnuEdit->menuAction()->setVisible(false);
    auto* separator = new QAction(this);
    separator->setObjectName(QStringLiteral("mnuX1"));
    separator->setSeparator(true);
    ui_->mnuTray->insertAction(ui_->mnuExit, separator);
    // The Edit menu is never shown, yet its keys must work.
    addActions({ui_->mnuCut, ui_->mnuCopy, ui_->mnuPaste});

    accountNames_ = new QStringListModel(this);
    ui_->cboAccount->setModel(accountNames_);

    timer_.setObjectName(QStringLiteral("timer"));
    timer_.setInterval(Module1::SecretLifetime);
    tray_.setObjectName(QStringLiteral("Tray1"));

    connect(ui_->cboAccount, &QComboBox::activated, this, &frmMain::cboAccount_Click);
    connect(ui_->cmdReveal, &QPushButton::clicked, this, &frmMain::cmdReveal_Click);
    connect(ui_->cmdDelete, &QPushButton::clicked, this, &frmMain::cmdDelete_Click);
    connect(ui_->cmdEdit, &QPushButton::clicked, this, &frmMain::cmdEdit_Click);
    connect(ui_->cmdHttp, &QPushButton::clicked, this, &frmMain::cmdHttp_Click);
    connect(ui_->cmdNewAccount, &QToolButton::clicked, this, &frmMain::cmdNewAccount_Click);
    connect(ui_->FlatBttn1, &QToolButton::clicked, this, &frmMain::FlatBttn1_Click);
    connect(ui_->FlatBttn2, &QToolButton::clicked, this, &frmMain::FlatBttn2_Click);
    connect(ui_->cmdExit, &QToolButton::clicked, this, &frmMain::cmdExit_Click);
    connect(ui_->cmdHelp, &QToolButton::clicked, this, &frmMain::cmdHelp_Click);
    connect(ui_->mnuHelpC, &QAction::triggered, this, &frmMain::cmdHelp_Click);
    connect(ui_->mnuWebsite, &QAction::triggered, this, &frmMain::mnuWebsite_Click);
    connect(ui_->mnuAbout, &QAction::triggered, this, &frmMain::mnuAbout_Click);
    connect(ui_->mnuCut, &QAction::triggered, this, &Module1::CutText);
    connect(ui_->mnuCopy, &QAction::triggered, this, &Module1::CopyText);
    connect(ui_->mnuPaste, &QAction::triggered, this, &Module1::PasteText);
    connect(ui_->mnuOpen, &QAction::triggered, this, &frmMain::mnuOpen_Click);
    connect(ui_->mnuExit, &QAction::triggered, this, &frmMain::mnuExit_Click);
    connect(&timer_, &QTimer::timeout, this, &frmMain::timer_Timer);
    connect(&tray_, &Tray::MouseAction, this, &frmMain::Tray1_MouseAction);
}

frmMain::~frmMain() = default;

void frmMain::setStartUpProbe(std::function<void(StartUpStep)> probe)
{
    startUpProbe() = std::move(probe);
}

VaultStore& frmMain::vault() const
{
    if (!vaultDb_)
        throw AppError(ErrorCode::ObjectNotSet, QStringLiteral("Object variable not set: the vault is not open."),
                       ErrorSource::Store);
    return *vaultDb_;
}

bool frmMain::load()
{
    try {
        runStartUp();
    } catch (const AppError& error) {
        MessageBox::plain(this, Module1::ProgramTitle,
                          QStringLiteral("error at formload") + error.description() + QString::number(error.code())
                              + error.source());
        ProgramEnd::endNow();
    }
    return !ProgramEnd::ended();
}

void frmMain::runStartUp()
{
    using Step = StartUpStep;
    const QString vaultPath = Module1::applicationFile(VaultStore::FileName);
    const QString compactPath = Module1::applicationFile(VaultStore::CompactedFileName);

    // Held for the program's life: no other copy may replace the vault
    // under an open connection.
    attempt(Step::LockFolder, [&] { lock_ = std::make_unique<VaultLock>(vaultPath); });

    // Passwords that an interrupted report left behind.
    removeReportScratch(Module1::applicationFolder());

    // A failing existence test still lets its action be tried.
    bool leftover = true;
    attempt(Step::LeftoverTest, [&] { leftover = FileOps::exists(compactPath); });
    if (leftover)
        attempt(Step::RemoveLeftover, [&] { FileOps::remove(compactPath); });

    bool compacted = false;
    const VaultKey key = VaultKey::derive(vaultPath);  // the compaction's and the open's
    attempt(Step::Compact, [&] {
        if (!lock_)
            throw AppError(ErrorCode::Busy, QStringLiteral("The application folder cannot be locked."),
                           ErrorSource::Files);
        lock_->takeExclusive();
        VaultStore::compact(vaultPath, compactPath, key);
        compacted = true;
    });

    // Only a copy this start made, complete and flushed, may replace the
    // vault, and it does so in one rename: there is never a moment without one.
    bool copyExists = false;
    if (attempt(Step::CopyTest, [&] { copyExists = compacted && FileOps::exists(compactPath); }) && copyExists)
        attempt(Step::ReplaceVault, [&] { VaultStore::replaceVault(compactPath, vaultPath); });

    attempt(Step::ShareLock, [&] {
        if (lock_)
            lock_->share();
    });
    // The compaction measured every value on its way in.
    attempt(Step::OpenVault, [&] {
        vaultDb_ = VaultStore::open(
            vaultPath, compacted ? VaultSchema::Values::MeasuredBefore : VaultSchema::Values::Measure, key);
        vaultDb_->attachLock(lock_.get());
    });

    bool initialized = true;
    attempt(Step::FirstRunTest, [&] { initialized = Module1::IsVaultInitialized(vault()); });
    if (!initialized) {
        frmCreatePassword create(vault(), nullptr);
        create.exec();
        if (ProgramEnd::ended())
            return;
    }

    setWindowTitle(Module1::ProgramTitle);
    attempt(Step::FirstList, [&] { LoadAccountList(); });
    attempt(Step::ScratchIcon, [&] { writeScratchIcon(); });
    attempt(Step::TrayIcon, [&] {
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
    FileOps::writeFile(ScratchIcon, FileOps::Placement::Replace, png);
}

void frmMain::removeIcons()
{
    tray_.RemoveIcon();
    // Only a file of that name is the scratch icon; a folder is left alone.
    if (!QFileInfo(ScratchIcon).isDir())
        FileOps::removeIfExists(ScratchIcon);
}

void frmMain::showDetail(QLabel* label, const QString& text, const QString& spoken)
{
    label->setText(text);
    // The caption and what the label shows, so that an empty label is not
    // heard as its caption a second time.
    const QString& heard = !spoken.isEmpty() ? spoken : text.isEmpty() ? EmptySpoken : text;
    QString name = captionOf(label) + QLatin1Char(' ') + heard;
    label->setAccessibleName(name);
    if (label == ui_->lblPassword) {
        // The name the label has just let go may hold the password; with
        // no other holder left, the wipe reaches it.
        std::swap(passwordSpoken_, name);
        Secrets::wipe(name);
    }
}

void frmMain::LoadAccountList()
{
    for (QPushButton* button : {ui_->cmdEdit, ui_->cmdHttp, ui_->cmdReveal, ui_->cmdDelete})
        button->setEnabled(false);
    for (QLabel* label : {ui_->lblUsername, ui_->lblPassword, ui_->lblURL, ui_->lblHint, ui_->lblNotes})
        showDetail(label, QString());
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
    ui_->cboAccount->setCurrentIndex(-1);
    timer_.stop();
    // The labels emptied above no longer share the password's buffer.
    Secrets::wipe(Module1::SelectedPassword);
    selectedSealed_.clear();
}

void frmMain::copyList(const AccountOrder& order)
{
    QStringList names;
    names.reserve(qsizetype(AccountOrder::withRoom(order.size())));
    listedRows_.clear();
    listedRows_.reserve(AccountOrder::withRoom(order.size()));
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
    if (change.kind == ListChange::Kind::Removed) {
        ui_->cboAccount->removeItem(index);
        listedRows_.erase(listedRows_.begin() + index);
    } else {
        ui_->cboAccount->insertItem(index, change.entry.account);
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
    runCommand(this, [this] {
        timer_.start();
        const int index = ui_->cboAccount->currentIndex();
        const auto row = vault().accountAt(qint64(index) + 1);
        // Another copy may have changed the vault since the list was built:
        // never show an account other than the one the entry names.
        if (!row || row->rowid != listedRowAt(index)) {
            LoadAccountList();
        } else {
            showDetail(ui_->lblUsername, decryptField(row->fields.username));
            showDetail(ui_->lblPassword, PasswordMask, MaskSpoken);
            showDetail(ui_->lblURL, row->fields.url);
            showDetail(ui_->lblHint, row->fields.hint);
            showDetail(ui_->lblNotes, row->fields.notes);
            // The label shows the mask by now, so the old password has no other holder.
            Secrets::wipe(Module1::SelectedPassword);
            // A sealed password stays closed until reveal's check has passed.
            selectedSealed_ = vault().isSealed() ? row->fields.password : QString();
            Module1::SelectedPassword = vault().isSealed() ? QString() : decryptField(row->fields.password);
        }
        ui_->cmdEdit->setEnabled(true);
        ui_->cmdDelete->setEnabled(true);
        if (Module1::trimSpaces(ui_->lblURL->text()).size() > 7)
            ui_->cmdHttp->setEnabled(true);
        ui_->cmdReveal->setEnabled(true);
    });
}

void frmMain::runGuarded(const std::function<void()>& command)
{
    runCommand(this, [&] {
        // A sealed vault is open for this one command, however it ends.
        const auto relock = qScopeGuard([this] {
            if (vaultDb_)
                vaultDb_->lockSeal();
        });
        if (!Module1::SecurityCheck(this, vault())) {
            MessageBox::critical(this, QStringLiteral("Quillock Security Check"),
                                 QStringLiteral("Security check failed."));
            return;
        }
        command();
    });
}

void frmMain::cmdReveal_Click()
{
    runGuarded([this] {
        if (vault().isSealed()) {
            // The label lets go of the password it showed, so the wipe reaches it.
            QString opened = vault().openPassword(selectedSealed_);
            showDetail(ui_->lblPassword, opened);
            std::swap(Module1::SelectedPassword, opened);
            Secrets::wipe(opened);
            return;
        }
        showDetail(ui_->lblPassword, Module1::SelectedPassword);
    });
}

void frmMain::cmdDelete_Click()
{
    runCommand(this, [this] {
        timer_.stop();
        const auto answer = MessageBox::question(this, QStringLiteral("Delete Confirmation. . ."),
                                                 QStringLiteral("Delete this account from the Quillock database?"),
                                                 QMessageBox::Ok | QMessageBox::Cancel);
        if (answer != QMessageBox::Ok)
            return;
        const int index = ui_->cboAccount->currentIndex();
        if (const auto rowid = listedRowAt(index))
            vault().deleteAccountAt(qint64(index) + 1, *rowid);
        LoadAccountList();
    });
}

void frmMain::cmdEdit_Click()
{
    runGuarded([this] {
        const int index = ui_->cboAccount->currentIndex();
        if (ShowEditAccount(this, vault(), index, listedRowAt(index)) && !ProgramEnd::ended())
            LoadAccountList();
    });
}

void frmMain::cmdHttp_Click()
{
    // An address stored by other means may name a local file or program:
    // only web addresses go to the desktop.
    if (const auto address = Links::webAddress(ui_->lblURL->text()))
        DesktopOpen::open(*address);
}

void frmMain::cmdHelp_Click()
{
    DesktopOpen::open(Links::helpAddress());
}

void frmMain::mnuWebsite_Click()
{
    DesktopOpen::open(Links::WebsiteAddress);
}

void frmMain::mnuAbout_Click()
{
    frmAbout::showAbout(this);
}

void frmMain::cmdNewAccount_Click()
{
    runCommand(this, [this] {
        frmNewAccount dialog(vault(), this);
        if (dialog.exec() == QDialog::Accepted && !ProgramEnd::ended())
            LoadAccountList();
    });
}

void frmMain::FlatBttn1_Click()
{
    runGuarded([this] {
        frmChangePassword dialog(vault(), this);
        dialog.exec();
    });
}

void frmMain::FlatBttn2_Click()
{
    runGuarded([this] {
        writeReport(vault(), Module1::applicationFile(ReportFileName));
        DesktopOpen::open(reportAddress(Module1::applicationFolder()));
    });
}

void frmMain::cmdExit_Click()
{
    runCommand(this, [this] {
        FileOps::removeIfExists(Module1::applicationFile(ReportFileName));
        removeReportScratch(Module1::applicationFolder());
        const QString choice = Settings::getSetting(Settings::ExitKey);
        if (choice == Settings::EndChoice) {
            endSequence();
        } else if (choice == Settings::TrayChoice) {
            hideToTray();
        } else {
            const auto answer = MessageBox::question(
                this, QStringLiteral("Quillock Exit Utility"),
                QStringLiteral("Do you want to leave an icon in the system tray (next to the current time in the "
                               "bottom right hand corner of your screen)?  If yes, you can quickly access Quillock "
                               "by clicking on the Quillock icon in the tray.  If no, you will have to start "
                               "Quillock using the windows start menu."),
                QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
            if (answer == QMessageBox::Yes)
                hideToTray();
            else if (answer == QMessageBox::No)
                endSequence();
        }
    });
}

void frmMain::timer_Timer()
{
    runCommand(this, [this] { LoadAccountList(); });
}

void frmMain::hideToTray()
{
    // Without a tray there would be no way back to a hidden window.
    if (Tray::isAvailable())
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
    showDetail(ui_->lblPassword, QString());
    Secrets::wipe(Module1::SelectedPassword);
    removeIcons();
    ProgramEnd::endNow();
}

void frmMain::Tray1_MouseAction(int code)
{
    // Failures here are ignored, as they are while a modal dialog is open.
    try {
        if (code == Tray::ContextMenu)
            ui_->mnuTray->popup(QCursor::pos());
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
    runCommand(this, [this] { endSequence(); });
}

void frmMain::closeEvent(QCloseEvent* event)
{
    event->accept();
    if (unloaded_)
        return;
    unloaded_ = true;
    showDetail(ui_->lblPassword, QString());
    Secrets::wipe(Module1::SelectedPassword);
    Module1::clearClipboardSecret();
    runCommand(this, [this] {
        vaultDb_.reset();
        removeIcons();
    });
    QCoreApplication::quit();
}
