#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class frmAbout;
}

// The product name, the version and a link for requesting support. It lives
// only while shown and closes as soon as it loses the focus.
class frmAbout : public QDialog {
    Q_OBJECT
public:
    explicit frmAbout(QWidget* parent = nullptr);
    ~frmAbout() override;

    // A fresh box each time, shown modally over `owner`.
    static void showAbout(QWidget* owner);

protected:
    void changeEvent(QEvent* event) override;

private:
    void loadContents();
    void cmdOK_Click();
    void csHyperlink1_Click();

    std::unique_ptr<Ui::frmAbout> ui_;
    bool wasActive_ = false;
};
