#include "accounts/accountdialog.h"

#include "ui_accountform.h"

#include "accounts/clipboard.h"
#include "shared/fixeddialog.h"
#include "shared/messagebox.h"
#include "shared/module1.h"
#include "shared/programend.h"
#include "shared/secrets.h"
#include "shared/textlimit.h"
#include "vault/stringcipher.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QTextBlock>
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
    for (QPlainTextEdit* box : {ui_->txtHint, ui_->txtNotes})
        TextLimit::limitLength(box, AccountLimits::Text, [this] { return filling_; });

    // The menu only carries the shortcuts; it is never shown.
    auto* mnuEdit = new QMenu(QStringLiteral("Edit"), this);
    mnuEdit->setObjectName(QStringLiteral("mnuEdit"));
    mnuEdit->addActions({ui_->mnuCut, ui_->mnuCopy, ui_->mnuPaste});
    const std::pair<QAction*, void (*)()> clipboardCommands[] = {
        {ui_->mnuCut, Module1::CutText}, {ui_->mnuCopy, Module1::CopyText}, {ui_->mnuPaste, Module1::PasteText}};
    for (const auto& [action, command] : clipboardCommands)
        connect(action, &QAction::triggered, this, [this, command] { runDialogCommand(this, command); });
    // The boxes claim the clipboard keys and have a menu of their own; hand
    // both back to the menu.
    for (QWidget* box : std::initializer_list<QWidget*>{ui_->txtName, ui_->txtUsername, ui_->txtPassword, ui_->txtURL,
                                                        ui_->txtHint, ui_->txtNotes})
        box->installEventFilter(this);
    // A multi-line box gets the mouse's context menu through its viewport.
    for (QPlainTextEdit* box : {ui_->txtHint, ui_->txtNotes})
        box->viewport()->installEventFilter(this);
    keepPasswordOffSelection();
    // Input methods neither learn nor suggest what is typed there.
    ui_->txtPassword->setInputMethodHints(Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);

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
    fields.password = vault_.passwordToStore(lineText(ui_->txtPassword));
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
    if (AccountLimits::isBlankName(lineText(ui_->txtName))) {
        MessageBox::information(this, Module1::ProgramTitle,
                                QStringLiteral("Data validation error.  You must enter a name for this account."));
        ui_->txtName->setFocus();
        return false;
    }
    if (!AccountLimits::hasUrlScheme(lineText(ui_->txtURL))) {
        MessageBox::information(this, Module1::ProgramTitle,
                                QStringLiteral("Data validation error.  Your internet url must be in the proper "
                                               "format (http://<address>)."));
        showLine(ui_->txtURL, AccountLimits::HttpPrefix + lineText(ui_->txtURL), AccountLimits::Url);
        ui_->txtURL->setFocus();
        return false;
    }
    return true;
}

bool AccountDialog::eventFilter(QObject* watched, QEvent* event)
{
    auto* box = static_cast<QWidget*>(watched);
    if (box == ui_->txtHint->viewport() || box == ui_->txtNotes->viewport())
        box = box->parentWidget();
    switch (event->type()) {
    case QEvent::ShortcutOverride:
    case QEvent::KeyPress: {
        const auto* key = static_cast<QKeyEvent*>(event);
        QAction* command = clipboardCommand(key, box);
        if (!command)
            break;
        // Claimed from the shortcuts as a key of the box, then kept from the
        // box, which would copy past the clearing: the menu's command runs.
        event->accept();
        if (event->type() == QEvent::KeyPress) {
            auto* line = qobject_cast<QLineEdit*>(box);
            if (line && key->matches(QKeySequence::DeleteCompleteLine))
                line->selectAll();
            else if (line && key->matches(QKeySequence::DeleteEndOfLine))
                line->setSelection(line->cursorPosition(), int(line->text().size()) - line->cursorPosition());
            command->trigger();
        }
        return true;
    }
    case QEvent::ContextMenu:
        showBoxMenu(box, static_cast<QContextMenuEvent*>(event)->globalPos());
        return true;
    default:
        break;
    }
    return QDialog::eventFilter(watched, event);
}

QAction* AccountDialog::clipboardCommand(const QKeyEvent* key, const QWidget* box) const
{
    // Every key the desktop binds to these, not just the menu's own.
    if (key->matches(QKeySequence::Copy))
        return ui_->mnuCopy;
    if (key->matches(QKeySequence::Paste))
        return ui_->mnuPaste;
    if (key->matches(QKeySequence::Cut))
        return ui_->mnuCut;
    // X11's Ctrl+K and Ctrl+U copy what they delete from a one-line box.
    const bool deletesLine =
        key->matches(QKeySequence::DeleteEndOfLine) || key->matches(QKeySequence::DeleteCompleteLine);
    return deletesLine && qobject_cast<const QLineEdit*>(box) ? ui_->mnuCut : nullptr;
}

void AccountDialog::showBoxMenu(QWidget* box, const QPoint& at)
{
    auto* line = qobject_cast<QLineEdit*>(box);
    QMenu* menu = line ? line->createStandardContextMenu()
                       : static_cast<QPlainTextEdit*>(box)->createStandardContextMenu(box->mapFromGlobal(at));
    // The box's own Cut, Copy and Paste become the menu's commands on this
    // box. The items are known by their names, or by their captions in the
    // one-line box, which names none of them.
    const std::tuple<QLatin1String, QString, QAction*> commands[] = {
        {QLatin1String("edit-cut"), QLineEdit::tr("Cu&t"), ui_->mnuCut},
        {QLatin1String("edit-copy"), QLineEdit::tr("&Copy"), ui_->mnuCopy},
        {QLatin1String("edit-paste"), QLineEdit::tr("&Paste"), ui_->mnuPaste}};
    for (QAction* item : menu->actions()) {
        for (const auto& [name, caption, command] : commands) {
            if (item->objectName() != name && item->text().section(QLatin1Char('\t'), 0, 0) != caption)
                continue;
            disconnect(item, &QAction::triggered, nullptr, nullptr);
            connect(item, &QAction::triggered, this, [box, command] {
                box->setFocus();
                command->trigger();
            });
        }
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(at);
}

void AccountDialog::keepPasswordOffSelection()
{
    // Under X11 the box puts text selected with the mouse on the primary
    // selection, which any program may read for as long as it is there: a
    // password is taken off again at once, before anyone can ask for it.
    QClipboard* clipboard = QGuiApplication::clipboard();
    connect(clipboard, &QClipboard::selectionChanged, this, [this, clipboard] {
        const QString selected = ui_->txtPassword->selectedText();
        if (!selected.isEmpty() && clipboard->ownsSelection() && clipboard->text(QClipboard::Selection) == selected)
            clipboard->clear(QClipboard::Selection);
    });
}

void AccountDialog::done(int result)
{
    // What the boxes held, a password above all, is zeroed and gone with
    // their undo history before the dialog goes.
    for (QLineEdit* box : {ui_->txtName, ui_->txtUsername, ui_->txtPassword, ui_->txtURL})
        Secrets::wipeBox(box);
    showFields({});
    QDialog::done(result);
}
