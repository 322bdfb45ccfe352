#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class frmCreatePassword;
}
class VaultStore;

// First run: the user chooses the master password before anything else.
class frmCreatePassword : public QDialog {
    Q_OBJECT
public:
    explicit frmCreatePassword(VaultStore& vault, QWidget* parent = nullptr);
    ~frmCreatePassword() override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // However the dialog closes, the new master password leaves the boxes.
    void done(int result) override;

private:
    void cmdOk_Click();
    void cmdExit_Click();

    std::unique_ptr<Ui::frmCreatePassword> ui_;
    VaultStore& vault_;
    bool placed_ = false;
};
