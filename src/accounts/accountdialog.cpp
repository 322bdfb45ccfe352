#include "accounts/accountdialog.h"

#include "ui_accountform.h"

#include "shared/fonts.h"
#include "shared/messagebox.h"
#include "shared/module1.h"
#include "shared/programend.h"
#include "shared/textlimit.h"
#include "vault/stringcipher.h"

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

const QString& HttpPrefix = AccountLimits::HttpPrefix;

bool UrlHasScheme(const QString& url)
{
    return AccountLimits::HasUrlScheme(url);
}

void ShowLine(QLineEdit* box, const QString& text, int limit)
{
    box->setMaxLength(std::max<qsizetype>(limit, text.size()));
    box->setText(text);
}

// What a single-line box holds, as it is checked and stored.
QString LineText(const QLineEdit* box)
{
    return TextLimit::WholeCharacters(box->text());
}

}  // namespace

AccountDialog::AccountDialog(VaultStore& vault, const QString& title, QWidget* parent)
    : QDialog(parent), vault_(vault), ui(std::make_unique<Ui::AccountForm>())
{
    ui->setupUi(this);
    setWindowTitle(title);
    setFixedSize(312, 273);
    Fonts::UseArial(this, {ui->lblName, ui->lblUsername, ui->lblPassword, ui->lblURL, ui->lblHint, ui->lblNotes});

    // The form's limits come from the one shared place.
    ui->txtName->setMaxLength(NameLimit);
    ui->txtUsername->setMaxLength(UsernameLimit);
    ui->txtPassword->setMaxLength(PasswordLimit);
    ui->txtURL->setMaxLength(UrlLimit);
    for (QLineEdit* box : {ui->txtName, ui->txtUsername, ui->txtPassword, ui->txtURL})
        TextLimit::KeepWhole(box);
    limitLength(ui->txtHint, TextLimit);
    limitLength(ui->txtNotes, TextLimit);

    // The menu only carries the shortcuts; it is never shown.
    auto* mnuEdit = new QMenu(QStringLiteral("Edit"), this);
    mnuEdit->setObjectName(QStringLiteral("mnuEdit"));
    mnuEdit->addActions({ui->mnuCut, ui->mnuCopy, ui->mnuPaste});
    connect(ui->mnuCut, &QAction::triggered, this, [this] { runClipboardCommand(Module1::CutText); });
    connect(ui->mnuCopy, &QAction::triggered, this, [this] { runClipboardCommand(Module1::CopyText); });
    connect(ui->mnuPaste, &QAction::triggered, this, [this] { runClipboardCommand(Module1::PasteText); });
    // The boxes claim the clipboard keys for themselves; hand them back to the menu.
    for (QWidget* box : std::initializer_list<QWidget*>{ui->txtName, ui->txtUsername, ui->txtPassword, ui->txtURL,
                                                        ui->txtHint, ui->txtNotes})
        box->installEventFilter(this);

    connect(ui->cmdOk, &QPushButton::clicked, this, &AccountDialog::okClicked);
    connect(ui->cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
    ui->txtName->setFocus();
}

AccountDialog::~AccountDialog() = default;

QString AccountDialog::BoxText(const QPlainTextEdit* box)
{
    QString text;
    for (QTextBlock block = box->document()->begin(); block.isValid(); block = block.next()) {
        if (block != box->document()->begin())
            text += QLatin1Char('\n');
        text += block.text();
    }
    return TextLimit::WholeCharacters(text);
}

void AccountDialog::showFields(const AccountFields& plain)
{
    filling_ = true;
    ShowLine(ui->txtName, plain.account, NameLimit);
    ShowLine(ui->txtUsername, plain.username, UsernameLimit);
    ShowLine(ui->txtPassword, plain.password, PasswordLimit);
    ShowLine(ui->txtURL, plain.url, UrlLimit);
    ui->txtHint->setPlainText(plain.hint);
    ui->txtNotes->setPlainText(plain.notes);
    filling_ = false;
}

AccountFields AccountDialog::fieldsToStore() const
{
    AccountFields fields;
    fields.account = LineText(ui->txtName);
    fields.username = Encrypt(LineText(ui->txtUsername));
    fields.password = Encrypt(LineText(ui->txtPassword));
    fields.url = LineText(ui->txtURL);
    fields.hint = BoxText(ui->txtHint);
    fields.notes = BoxText(ui->txtNotes);
    return fields;
}

void AccountDialog::okClicked()
{
    RunDialogCommand(this, [this] {
        if (!entriesPass())
            return;
        store();
        accept();
    });
}

bool AccountDialog::entriesPass()
{
    if (Module1::TrimSpaces(LineText(ui->txtName)).isEmpty()) {
        MessageBox::show(this, QStringLiteral("Data validation error.  You must enter a name for this account."),
                         QMessageBox::Ok, QMessageBox::Information, Module1::ProgramTitle);
        ui->txtName->setFocus();
        return false;
    }
    if (!UrlHasScheme(LineText(ui->txtURL))) {
        MessageBox::show(this,
                         QStringLiteral("Data validation error.  Your internet url must be in the proper format "
                                        "(http://<address>)."),
                         QMessageBox::Ok, QMessageBox::Information, Module1::ProgramTitle);
        const QString prefixed = HttpPrefix + LineText(ui->txtURL);
        ShowLine(ui->txtURL, prefixed, UrlLimit);
        ui->txtURL->setFocus();
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
                const qsizetype alone = text.size() < limit ? TextLimit::InsertedUnit(*last, text) : -1;
                for (const qsizetype at : TextLimit::LoneHalves(text, alone))
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
        for (const QAction* action : {ui->mnuCut, ui->mnuCopy, ui->mnuPaste}) {
            if (action->shortcut() == pressed)
                return true;  // left unaccepted, so the shortcut runs
        }
    }
    return QDialog::eventFilter(watched, event);
}

void AccountDialog::runClipboardCommand(void (*command)())
{
    RunDialogCommand(this, command);
}
