#include "accounts/accountdialog.h"

#include "ui_accountform.h"

#include "shared/fonts.h"
#include "shared/messagebox.h"
#include "shared/module1.h"
#include "shared/programend.h"
#include "vault/stringcipher.h"

#include <QKeyEvent>
#include <QMenu>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>

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
    return text;
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
    fields.account = ui->txtName->text();
    fields.username = Encrypt(ui->txtUsername->text());
    fields.password = Encrypt(ui->txtPassword->text());
    fields.url = ui->txtURL->text();
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
    if (Module1::TrimSpaces(ui->txtName->text()).isEmpty()) {
        MessageBox::show(this, QStringLiteral("Data validation error.  You must enter a name for this account."),
                         QMessageBox::Ok, QMessageBox::Information, Module1::ProgramTitle);
        ui->txtName->setFocus();
        return false;
    }
    if (!UrlHasScheme(ui->txtURL->text())) {
        MessageBox::show(this,
                         QStringLiteral("Data validation error.  Your internet url must be in the proper format "
                                        "(http://<address>)."),
                         QMessageBox::Ok, QMessageBox::Information, Module1::ProgramTitle);
        const QString prefixed = HttpPrefix + ui->txtURL->text();
        ShowLine(ui->txtURL, prefixed, UrlLimit);
        ui->txtURL->setFocus();
        return false;
    }
    return true;
}

void AccountDialog::limitLength(QPlainTextEdit* box, int limit)
{
    QTextDocument* document = box->document();
    connect(document, &QTextDocument::contentsChange, this, [this, document, limit](int position, int, int added) {
        if (filling_ || added <= 0)
            return;
        const int length = document->characterCount() - 1;  // without the closing paragraph mark
        const int end = std::min(position + added, length);
        const int cut = std::min(length - limit, end - position);
        if (cut <= 0)
            return;
        // Drop the tail of what just came in; what was there before stays.
        int from = end - cut;
        if (from > position && document->characterAt(from).isLowSurrogate())
            --from;  // never split a character in two
        QTextCursor cursor(document);
        cursor.setPosition(from);
        cursor.setPosition(end, QTextCursor::KeepAnchor);
        cursor.joinPreviousEditBlock();
        cursor.removeSelectedText();
        cursor.endEditBlock();
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
