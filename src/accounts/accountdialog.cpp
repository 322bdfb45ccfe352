#include "accounts/accountdialog.h"

#include "ui_accountform.h"

#include "shared/fixeddialog.h"
#include "shared/messagebox.h"
#include "shared/module1.h"
#include "shared/programend.h"
#include "shared/textlimit.h"
#include "vault/stringcipher.h"
#include "vault/vaultseal.h"

#include <QKeyEvent>
#include <QMenu>
#include <QScopedValueRollback>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <memory>
#include <utility>

namespace {

void showLine(QLineEdit* box, const QString& text, int limit)
{
    box->setMaxLength(std::max<qsizetype>(limit, text.size()));
    box->setText(text);
}

// What a single-line box holds, as it is checked and stored.
QString lineText(const QLineEdit* box)
{
    return TextLimit::wholeCharacters(box->text());
}

}  // namespace

AccountDialog::AccountDialog(VaultStore& vault, const QString& title, QWidget* parent)
    : QDialog(parent), vault_(vault), ui_(std::make_unique<Ui::AccountForm>())
{
    ui_->setupUi(this);
    setWindowTitle(title);
    FixedDialog::setUp(this,
                       {ui_->lblName, ui_->lblUsername, ui_->lblPassword, ui_->lblURL, ui_->lblHint, ui_->lblNotes});

    // Empty boxes, each at its limit.
    showFields({});
    for (QLineEdit* box : {ui_->txtName, ui_->txtUsername, ui_->txtPassword, ui_->txtURL})
        TextLimit::keepWhole(box);
    limitLength(ui_->txtHint, AccountLimits::Text);
    limitLength(ui_->txtNotes, AccountLimits::Text);

    // The menu only carries the shortcuts; it is never shown.
    auto* mnuEdit = new QMenu(QStringLiteral("Edit"), this);
    mnuEdit->setObjectName(QStringLiteral("mnuEdit"));
    mnuEdit->addActions({ui_->mnuCut, ui_->mnuCopy, ui_->mnuPaste});
    const std::pair<QAction*, void (*)()> clipboardCommands[] = {
        {ui_->mnuCut, Module1::CutText}, {ui_->mnuCopy, Module1::CopyText}, {ui_->mnuPaste, Module1::PasteText}};
    for (const auto& [action, command] : clipboardCommands)
        connect(action, &QAction::triggered, this, [this, command] { runDialogCommand(this, command); });
    // The boxes claim the clipboard keys for themselves; hand them back to the menu.
    for (QWidget* box : std::initializer_list<QWidget*>{ui_->txtName, ui_->txtUsername, ui_->txtPassword, ui_->txtURL,
                                                        ui_->txtHint, ui_->txtNotes})
        box->installEventFilter(this);

    connect(ui_->cmdOk, &QPushButton::clicked, this, &AccountDialog::cmdOk_Click);
    connect(ui_->cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
    ui_->txtName->setFocus();
}

AccountDialog::~AccountDialog() = default;

QString AccountDialog::boxText(const QPlainTextEdit* box)
{
    QString text;
    for (QTextBlock block = box->document()->begin(); block.isValid(); block = block.next()) {
        if (block != box->document()->begin())
            text += QLatin1Char('\n');
        text += block.text();
    }
    return TextLimit::wholeCharacters(text);
}

void AccountDialog::showFields(const AccountFields& plain)
{
    filling_ = true;
    showLine(ui_->txtName, plain.account, AccountLimits::Name);
    showLine(ui_->txtUsername, plain.username, AccountLimits::Username);
    showLine(ui_->txtPassword, plain.password, AccountLimits::Password);
    showLine(ui_->txtURL, plain.url, AccountLimits::Url);
    ui_->txtHint->setPlainText(plain.hint);
    ui_->txtNotes->setPlainText(plain.notes);
    filling_ = false;
}

AccountFields AccountDialog::fieldsToStore() const
{
    AccountFields fields;
    fields.account = lineText(ui_->txtName);
    fields.username = Encrypt(lineText(ui_->txtUsername));
    fields.password = PasswordToStore(vault_, lineText(ui_->txtPassword));
    fields.url = lineText(ui_->txtURL);
    fields.hint = boxText(ui_->txtHint);
    fields.notes = boxText(ui_->txtNotes);
    return fields;
}

void AccountDialog::cmdOk_Click()
{
    runDialogCommand(this, [this] {
        if (!entriesPass())
            return;
        store();
        accept();
    });
}

bool AccountDialog::entriesPass()
{
    if (AccountLimits::IsBlankName(lineText(ui_->txtName))) {
        MessageBox::information(this, Module1::ProgramTitle,
                                QStringLiteral("Data validation error.  You must enter a name for this account."));
        ui_->txtName->setFocus();
        return false;
    }
    if (!AccountLimits::HasUrlScheme(lineText(ui_->txtURL))) {
        MessageBox::information(this, Module1::ProgramTitle,
                                QStringLiteral("Data validation error.  Your internet url must be in the proper "
                                               "format (http://<address>)."));
        showLine(ui_->txtURL, AccountLimits::HttpPrefix + lineText(ui_->txtURL), AccountLimits::Url);
        ui_->txtURL->setFocus();
        return false;
    }
    return true;
}

void AccountDialog::limitLength(QPlainTextEdit* box, int limit)
{
    QTextDocument* document = box->document();
    auto last = std::make_shared<QString>();  // the text as the previous change left it
    connect(document, &QTextDocument::contentsChange, this,
            [this, box, document, limit, last](int position, int removed, int added) {
                if (trimming_)
                    return;
                if (filling_) {
                    *last = document->toRawText();
                    return;
                }
                const QScopedValueRollback busy(trimming_, true);
                QTextCursor cursor(document);
                bool joined = false;
                const auto remove = [&](int from, int to) {
                    if (!std::exchange(joined, true))
                        cursor.joinPreviousEditBlock();  // one undo step with what came in
                    cursor.setPosition(from);
                    cursor.setPosition(to, QTextCursor::KeepAnchor);
                    cursor.removeSelectedText();
                };
                const int length = document->characterCount() - 1;  // without the closing paragraph mark
                int end = std::min(position + added, length);
                int begin = position;
                const int caret = box->textCursor().position();
                if (caret > position && caret < end) {
                    // An input method reports its whole paragraph; what it put in ends at the caret.
                    end = caret;
                    begin = std::max(position, caret - (added - removed));
                }
                const int cut = std::min(length - limit, end - begin);
                if (cut > 0) {
                    // Drop the tail of what just came in; what was there before stays.
                    int from = end - cut;
                    if (from > begin && document->characterAt(from).isLowSurrogate())
                        --from;  // never split a character in two
                    remove(from, end);
                }
                // A half may stay only when it came alone and its other half still fits.
                QString text = document->toRawText();
                const qsizetype alone = text.size() < limit ? TextLimit::insertedUnit(*last, text) : -1;
                for (const qsizetype at : TextLimit::loneHalves(text, alone))
                    remove(int(at), int(at) + 1);
                if (joined) {
                    cursor.endEditBlock();
                    text = document->toRawText();
                }
                *last = text;
            });
}

bool AccountDialog::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::ShortcutOverride) {
        const QKeySequence pressed(static_cast<QKeyEvent*>(event)->keyCombination());
        for (const QAction* action : {ui_->mnuCut, ui_->mnuCopy, ui_->mnuPaste}) {
            if (action->shortcut() == pressed)
                return true;  // left unaccepted, so the shortcut runs
        }
    }
    return QDialog::eventFilter(watched, event);
}
