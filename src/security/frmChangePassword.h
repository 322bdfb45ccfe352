#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class frmChangePassword;
}
class VaultStore;

// Options: a new master password, and what the exit command does.
class frmChangePassword : public QDialog {
    Q_OBJECT
public:
    // Fills both boxes with the current master password and selects the
    // stored exit choice.
    frmChangePassword(VaultStore& vault, QWidget* parent = nullptr);
    ~frmChangePassword() override;

protected:
    // However the dialog closes, the master password leaves the boxes.
    void done(int result) override;

private:
    void cmdOk_Click();
    void cmdExit_Click();
    void Option_Click(const QString& choice);
    void updateOptionTabStop();

    std::unique_ptr<Ui::frmChangePassword> ui_;
    VaultStore& vault_;
};
