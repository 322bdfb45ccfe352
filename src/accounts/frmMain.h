#pragma once

#include <QMainWindow>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "desktop/tray.h"

namespace Ui {
class frmMain;
}
class AccountOrder;
class QLabel;
class QStringListModel;
class VaultLock;
class VaultStore;
struct ListChange;

// The main window. Loading it is the whole start-up; it owns the vault for
// the program's life and closes it when it unloads.
class frmMain : public QMainWindow {
    Q_OBJECT
public:
    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    // Start-up. False when the program ended during it.
    bool load();

    // The open vault; null before start-up opened it and after unload.
    VaultStore* VaultDb() const { return vaultDb_.get(); }
    Tray& Tray1() { return tray_; }
    QTimer& timer() { return timer_; }

    // Rebuilds the account list and empties the detail panel.
    void LoadAccountList();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void setUpFonts();
    void setUpWindow();
    void setUpMenus();
    void setUpList();
    void setUpTimerAndTray();
    void connectControls();

    VaultStore& vault() const;
    // Start-up: the vault's steps (StartUp), then the window's own under the same rule.
    void runStartUp();
    void writeScratchIcon();
    void removeIcons();
    // Every change of a detail label goes through here.
    void showDetail(QLabel* label, const QString& text, const QString& spoken = {});
    // Runs a guarded command: the security check first, and on failure its
    // message and nothing more.
    void runGuarded(const std::function<void()>& command);

    void cboAccount_Click();
    void cmdReveal_Click();
    void cmdDelete_Click();
    void cmdEdit_Click();
    void cmdHttp_Click();
    void cmdHelp_Click();
    void cmdNewAccount_Click();
    void FlatBttn1_Click();
    void FlatBttn2_Click();
    void cmdExit_Click();
    void timer_Timer();
    void Tray1_MouseAction(int code);
    void mnuOpen_Click();
    void mnuExit_Click();
    void mnuWebsite_Click();
    void mnuAbout_Click();
    void hideToTray();
    void showFromTray();
    void endSequence();
    // The whole list from the order, or one entry moved by our own write.
    void copyList(const AccountOrder& order);
    void applyToList(const ListChange& change);
    // The row the list entry at `index` stands for.
    std::optional<qint64> listedRowAt(int index) const;

    std::unique_ptr<Ui::frmMain> ui_;
    std::unique_ptr<VaultLock> lock_;
    std::unique_ptr<VaultStore> vaultDb_;
    std::vector<qint64> listedRows_;  // the row each list entry stands for
    QStringListModel* accountNames_ = nullptr;
    // The order generation the list was copied from, and whether it was.
    quint64 listedGeneration_ = 0;
    bool listed_ = false;
    // What a screen reader is told for lblPassword; it may hold the password.
    QString passwordSpoken_;
    // In a sealed vault, the picked account's password as stored.
    QString selectedSealed_;
    QTimer timer_;
    Tray tray_;
    bool unloaded_ = false;
};
