#pragma once

#include "vault/accountlimits.h"
#include "vault/vaultstore.h"

#include <QDialog>
#include <memory>

class QKeyEvent;
class QPlainTextEdit;
namespace Ui {
class AccountForm;
}

// What the add and edit dialogs share: one layout, the typing limits, the
// hidden Edit menu, through which every way of cutting, copying and pasting
// goes, the checks "&Ok" makes before anything is stored, and boxes wiped
// when the dialog closes.
class AccountDialog : public QDialog {
    Q_OBJECT
public:
    ~AccountDialog() override;

    // A multi-line box's text with its line breaks as "\n", nothing else
    // changed (QPlainTextEdit::toPlainText would turn no-break spaces into
    // plain ones) but for half characters, which cannot be stored.
    static QString boxText(const QPlainTextEdit* box);

protected:
    AccountDialog(VaultStore& vault, const QString& title, QWidget* parent);

    // Puts plain values into the boxes. A value stored longer than its box's
    // limit (by other means) is shown whole, so storing it back loses nothing.
    void showFields(const AccountFields& plain);
    // The boxes as they are stored: untrimmed, username and password enciphered.
    AccountFields fieldsToStore() const;

    // Runs inside the "&Ok" command once both checks passed; the dialog
    // closes as accepted afterwards.
    virtual void store() = 0;

    bool eventFilter(QObject* watched, QEvent* event) override;
    // However the dialog closes (OK, Cancel, Escape, close box).
    void done(int result) override;

    VaultStore& vault_;
    std::unique_ptr<Ui::AccountForm> ui_;

private:
    void cmdOk_Click();
    bool entriesPass();
    QAction* clipboardCommand(const QKeyEvent* key, const QWidget* box) const;
    void showBoxMenu(QWidget* box, const QPoint& at);
    void keepPasswordOffSelection();

    bool filling_ = false;
};
