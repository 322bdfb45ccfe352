#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class frmMasterPassword;
}

// The prompt of the security check. OK hands the entry over as typed; the
// comparison is the caller's.
class frmMasterPassword : public QDialog {
    Q_OBJECT
public:
    explicit frmMasterPassword(QWidget* parent = nullptr);
    ~frmMasterPassword() override;

private:
    void cmdOk_Click();

    std::unique_ptr<Ui::frmMasterPassword> ui_;
};
