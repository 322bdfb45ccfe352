#include "testsupport.h"

#include "accounts/frmEditAccount.h"
#include "accounts/frmNewAccount.h"
#include "shared/module1.h"
#include "vault/stringcipher.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <limits>

bool operator==(const AccountRow& a, const AccountRow& b)
{
    return a.rowid == b.rowid && a.fields == b.fields;
}

namespace {

const QString NameMessage = QStringLiteral("Data validation error.  You must enter a name for this account.");
const QString UrlMessage =
    QStringLiteral("Data validation error.  Your internet url must be in the proper format (http://<address>).");

QList<AccountRow> storedRows(VaultStore& vault)
{
    QList<AccountRow> rows;
    vault.forEachAccount([&](const AccountRow& row) { rows.append(row); });
    return rows;
}

int execNew(VaultStore& vault, std::function<void(QDialog*)> drive)
{
    frmNewAccount dialog(vault);
    return execWith(dialog, std::move(drive));
}

struct Edit {
    bool rebuilt;  // the list must be rebuilt
    bool opened;  // the dialog came
};

// The edit command on the entry at `position`, with `steps` in its dialog.
Edit editWith(VaultStore& vault, qint64 position, std::function<void(QDialog*)> steps = {})
{
    bool opened = false;
    driveNextDialog([&opened, steps](QDialog* dialog) {
        opened = true;
        if (steps)
            steps(dialog);
    });
    const bool rebuilt = editListed(vault, position);
    // A dialog shown without a modal loop of its own gets its steps only now.
    QCoreApplication::processEvents();
    return {rebuilt, opened};
}

// One of two accounts named "Twin", told apart by their usernames.
AccountFields twin(const char* username, const char* hint = "")
{
    return {QStringLiteral("Twin"),    QString::fromUtf8(username), {},
            QStringLiteral("http://"), QString::fromUtf8(hint),     {}};
}

// Texts at each box's limit in several scripts: accents, CJK, right-to-left,
// emoji, combining marks, no-break space, and line breaks where allowed.
QString repeated(const QString& piece, int length)
{
    QString text;
    while (text.size() < length)
        text += piece;
    text.truncate(length);
    if (text.back().isHighSurrogate())
        text.back() = QLatin1Char('x');
    return text;
}

AccountFields longPlainAccount()
{
    return {repeated(QStringLiteral("Ça 銀行 بنك "), 255),
            repeated(QStringLiteral("usé€r👤"), 50),
            repeated(QStringLiteral("pä\u0301ss 密码🔑"), 50),
            repeated(QStringLiteral("http://例え.jp/ü?q=שלום"), 255),
            repeated(QStringLiteral("Hint\u00a0\u05e2\u05d1\u05e8\u05d9\u05ea 🙂\n"), 2000),
            repeated(QStringLiteral("e\u0301 \u0627\u0644\u0639\u0631\u0628\u064a\u0629\n\n中文 "), 2000)};
}

// Puts text into a box, caret at `caret`, and returns what the box holds, halves included.
QString putText(QWidget* box, const QString& text, int caret)
{
    if (auto* line = qobject_cast<QLineEdit*>(box)) {
        line->setText(text);
        line->setCursorPosition(caret);
        return line->text();
    }
    auto* plain = static_cast<QPlainTextEdit*>(box);
    plain->setPlainText(text);
    QTextCursor cursor = plain->textCursor();
    cursor.setPosition(caret);
    plain->setTextCursor(cursor);
    return plain->document()->toRawText();
}

QString held(QWidget* box)
{
    auto* line = qobject_cast<QLineEdit*>(box);
    return line ? line->text() : static_cast<QPlainTextEdit*>(box)->document()->toRawText();
}

}  // namespace

class TestAccountDialogs : public QObject {
    Q_OBJECT

private slots:
    void layoutMatchesTheWindowTable();
    void enterStoresFromLinesButBreaksLinesInNotes();
    void blankNameRefusedAndUrlLeftAlone();
    void nameStoredWithOuterSpaces();
    void urlNeedsScheme_data();
    void urlNeedsScheme();
    void emptyFieldsStoredAsCipherOfEmptyText();
    void duplicateNamesAccepted();
    void cancelAndCloseBoxStoreNothing();
    void typingAndPastingStopAtTheLimits();
    void longAndForeignTextsRoundTrip();
    void charactersStayWholeAtEveryLimit_data();
    void charactersStayWholeAtEveryLimit();

    void editShowsAndStoresTheRowAtItsPosition();
    void editReachesEachOfTwoEqualNames();
    void editFindsNoRowForNoSelectionOrPastTheEnd();
    void editUnchangedRewritesWithFreshCipherText();
    void editRenameMovesTheAccount();
    void editChecksBeforeStoring();
    void editCancelAndCloseBoxKeepTheRecord();
    void editLeavesARowThatChangedMeanwhile();
    void editNeverLoadsAnotherRow_data();
    void editNeverLoadsAnotherRow();
    void editEndsOnUndecipherableFieldWithoutShowing();
};

void TestAccountDialogs::layoutMatchesTheWindowTable()
{
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    frmNewAccount add(*vault);
    frmEditAccount edit(*vault);
    QCOMPARE(add.windowTitle(), QStringLiteral("Add New Account. . ."));
    QCOMPARE(edit.windowTitle(), QStringLiteral("Edit Account Information. . ."));

    for (QDialog* dialog : {static_cast<QDialog*>(&add), static_cast<QDialog*>(&edit)}) {
        QVERIFY(dialog->isModal());
        QCOMPARE(dialog->minimumSize(), QSize(312, 273));
        QCOMPARE(dialog->maximumSize(), QSize(312, 273));
        QCOMPARE(childNamed<QLineEdit>(dialog, "txtURL")->geometry(), QRect(88, 80, 217, 21));
        QCOMPARE(childNamed<QPlainTextEdit>(dialog, "txtNotes")->geometry(), QRect(8, 192, 297, 41));
        QCOMPARE(childNamed<QPushButton>(dialog, "cmdCancel")->geometry(), QRect(224, 240, 80, 25));
        QCOMPARE(childNamed<QLabel>(dialog, "lblURL")->text(), QStringLiteral("Internet URL:"));

        const QList<QPair<const char*, int>> limits{
            {"txtName", 255}, {"txtUsername", 50}, {"txtPassword", 50}, {"txtURL", 255}};
        for (const auto& [name, limit] : limits)
            QCOMPARE(childNamed<QLineEdit>(dialog, name)->maxLength(), limit);
        QCOMPARE(childNamed<QLineEdit>(dialog, "txtPassword")->echoMode(), QLineEdit::Normal);

        // Tab order, from the first box round to the first box again.
        const QStringList order{"txtName", "txtUsername", "txtPassword", "txtURL",
                                "txtHint", "txtNotes",    "cmdOk",       "cmdCancel"};
        QWidget* at = childNamed<QWidget>(dialog, "txtName");
        QStringList walked;
        do {
            if (at->focusPolicy() & Qt::TabFocus)
                walked.append(at->objectName());
            at = at->nextInFocusChain();
        } while (at != childNamed<QWidget>(dialog, "txtName"));
        QCOMPARE(walked, order);

        for (const char* name : {"txtHint", "txtNotes"}) {
            auto* box = childNamed<QPlainTextEdit>(dialog, name);
            QVERIFY(box->tabChangesFocus());
            QCOMPARE(box->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
            QCOMPARE(box->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
            QVERIFY(!box->font().bold());
        }
        auto* ok = childNamed<QPushButton>(dialog, "cmdOk");
        QVERIFY(ok->isDefault());
        QCOMPARE(ok->text(), QStringLiteral("&Ok"));
        QCOMPARE(ok->toolTip(), QStringLiteral("Enter information into database."));
        QCOMPARE(childNamed<QPushButton>(dialog, "cmdCancel")->toolTip(), QStringLiteral("Exit this screen."));
        QCOMPARE(ok->font().family(), QStringLiteral("Arial"));
        QCOMPARE(ok->font().pointSizeF(), 8.25);
        QVERIFY(!ok->font().bold());
        QVERIFY(childNamed<QLabel>(dialog, "lblHint")->font().bold());
        QCOMPARE(childNamed<QLabel>(dialog, "lblHint")->font().pointSizeF(), 8.25);

        auto* menu = childNamed<QMenu>(dialog, "mnuEdit");
        QCOMPARE(menu->title(), QStringLiteral("Edit"));
        QVERIFY(!menu->isVisible());
        const QList<QPair<const char*, QString>> items{
            {"mnuCut", "Ctrl+X"}, {"mnuCopy", "Ctrl+C"}, {"mnuPaste", "Ctrl+V"}};
        for (const auto& [name, keys] : items) {
            auto* action = childNamed<QAction>(dialog, name);
            QCOMPARE(action->shortcut(), QKeySequence(keys));
            QVERIFY(dialog->actions().contains(action));
            QVERIFY(menu->actions().contains(action));
        }
    }

    // A fresh dialog: empty boxes but the URL, focus in the name box.
    add.show();
    QVERIFY(waitUntilActive(&add));
    QCOMPARE(QApplication::focusWidget(), childNamed<QWidget>(&add, "txtName"));
    QCOMPARE(boxContents(&add), (AccountFields{{}, {}, {}, QStringLiteral("http://"), {}, {}}));
}

void TestAccountDialogs::enterStoresFromLinesButBreaksLinesInNotes()
{
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    const int result = execNew(*vault, [](QDialog* dialog) {
        typeInto(dialog, "txtName", QStringLiteral("Mail"));
        typeInto(dialog, "txtHint", QStringLiteral("first"));
        QTest::keyClick(childNamed<QWidget>(dialog, "txtHint"), Qt::Key_Return);
        QTest::keyClicks(childNamed<QWidget>(dialog, "txtHint"), QStringLiteral("second"));
        QVERIFY(dialog->isVisible());
        // Tab leaves the box instead of typing a tab.
        QTest::keyClick(childNamed<QWidget>(dialog, "txtHint"), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), childNamed<QWidget>(dialog, "txtNotes"));
        childNamed<QWidget>(dialog, "txtUsername")->setFocus();
        QTest::keyClick(childNamed<QWidget>(dialog, "txtUsername"), Qt::Key_Return);
    });
    QCOMPARE(result, int(QDialog::Accepted));
    const auto stored = plainAccounts(*vault);
    QCOMPARE(stored.size(), 1);
    QCOMPARE(stored[0].hint, QStringLiteral("first\nsecond"));
}

void TestAccountDialogs::blankNameRefusedAndUrlLeftAlone()
{
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    const int result = execNew(*vault, [&](QDialog* dialog) {
        typeInto(dialog, "txtName", QStringLiteral("   "));
        typeInto(dialog, "txtURL", QStringLiteral("example.com"));
        clickOn(dialog, "cmdOk");
        QVERIFY(dialog->isVisible());
        QCOMPARE(sandbox.messages.size(), 1);
        QCOMPARE(sandbox.messages[0].text, NameMessage);
        QCOMPARE(sandbox.messages[0].icon, QMessageBox::Information);
        QCOMPARE(sandbox.messages[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(sandbox.messages[0].title, QStringLiteral("Quillock"));
        QCOMPARE(childNamed<QLineEdit>(dialog, "txtURL")->text(), QStringLiteral("example.com"));
        QCOMPARE(dialog->focusWidget(), childNamed<QWidget>(dialog, "txtName"));
        // A tab is not a space: such a name passes.
        typeInto(dialog, "txtName", QStringLiteral(" "));
        childNamed<QLineEdit>(dialog, "txtName")->insert(QStringLiteral("\t"));
        typeInto(dialog, "txtURL", QStringLiteral("http://example.com"));
        clickOn(dialog, "cmdOk");
    });
    QCOMPARE(result, int(QDialog::Accepted));
    QCOMPARE(sandbox.messages.size(), 1);
    QCOMPARE(plainAccounts(*vault).value(0).account, QStringLiteral(" \t"));
}

void TestAccountDialogs::nameStoredWithOuterSpaces()
{
    Sandbox sandbox;
    sandbox.addAccount(QStringLiteral("Mail"));
    auto vault = sandbox.openVault();
    const int result = execNew(*vault, [](QDialog* dialog) {
        typeInto(dialog, "txtName", QStringLiteral("  Bank  "));
        typeInto(dialog, "txtUsername", QStringLiteral(" me "));
        typeInto(dialog, "txtPassword", QStringLiteral("s3cret "));
        QCOMPARE(childNamed<QLineEdit>(dialog, "txtPassword")->displayText(), QStringLiteral("s3cret "));
        typeInto(dialog, "txtNotes", QStringLiteral(" note "));
        clickOn(dialog, "cmdOk");
    });
    QCOMPARE(result, int(QDialog::Accepted));
    QVERIFY(sandbox.messages.isEmpty());
    const auto stored = plainAccounts(*vault);
    QCOMPARE(stored.size(), 2);
    QCOMPARE(stored[0],
             (AccountFields{QStringLiteral("  Bank  "),
                            QStringLiteral(" me "),
                            QStringLiteral("s3cret "),
                            QStringLiteral("http://"),
                            {},
                            QStringLiteral(" note ")}));
    QCOMPARE(stored[1].account, QStringLiteral("Mail"));
}

void TestAccountDialogs::urlNeedsScheme_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("refusedFirst");
    QTest::newRow("initial") << QStringLiteral("http://") << QStringLiteral("http://") << false;
    QTest::newRow("address") << QStringLiteral("http://a.example/x") << QStringLiteral("http://a.example/x") << false;
    QTest::newRow("https") << QStringLiteral("https://a.example") << QStringLiteral("https://a.example") << false;
    QTest::newRow("empty") << QString() << QStringLiteral("http://") << true;
    QTest::newRow("bare host") << QStringLiteral("a.example") << QStringLiteral("http://a.example") << true;
    QTest::newRow("capitals") << QStringLiteral("HTTP://a.example") << QStringLiteral("http://HTTP://a.example")
                              << true;
    QTest::newRow("Https") << QStringLiteral("Https://a") << QStringLiteral("http://Https://a") << true;
    QTest::newRow("leading space") << QStringLiteral(" http://a") << QStringLiteral("http:// http://a") << true;
    QTest::newRow("scheme only half") << QStringLiteral("http:/a") << QStringLiteral("http://http:/a") << true;
}

void TestAccountDialogs::urlNeedsScheme()
{
    QFETCH(QString, typed);
    QFETCH(QString, stored);
    QFETCH(bool, refusedFirst);
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    const int result = execNew(*vault, [&](QDialog* dialog) {
        typeInto(dialog, "txtName", QStringLiteral("Site"));
        typeInto(dialog, "txtURL", typed);
        clickOn(dialog, "cmdOk");
        if (!refusedFirst)
            return;
        QVERIFY(dialog->isVisible());
        QVERIFY(storedRows(*vault).isEmpty());
        QCOMPARE(sandbox.messages.size(), 1);
        QCOMPARE(sandbox.messages[0].text, UrlMessage);
        QCOMPARE(sandbox.messages[0].icon, QMessageBox::Information);
        QCOMPARE(sandbox.messages[0].title, QStringLiteral("Quillock"));
        QCOMPARE(childNamed<QLineEdit>(dialog, "txtURL")->text(), stored);
        QCOMPARE(QApplication::focusWidget(), childNamed<QWidget>(dialog, "txtURL"));
        clickOn(dialog, "cmdOk");
    });
    QCOMPARE(result, int(QDialog::Accepted));
    QCOMPARE(sandbox.messages.size(), refusedFirst ? 1 : 0);
    const auto accounts = plainAccounts(*vault);
    QCOMPARE(accounts.size(), 1);
    QCOMPARE(accounts[0].url, stored);
}

void TestAccountDialogs::emptyFieldsStoredAsCipherOfEmptyText()
{
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    const int result = execNew(*vault, [](QDialog* dialog) {
        typeInto(dialog, "txtName", QStringLiteral("Only a name"));
        clickOn(dialog, "cmdOk");
    });
    QCOMPARE(result, int(QDialog::Accepted));
    const auto rows = storedRows(*vault);
    QCOMPARE(rows.size(), 1);
    const AccountFields& stored = rows[0].fields;
    QVERIFY(!stored.username.isEmpty());
    QVERIFY(!stored.password.isEmpty());
    QVERIFY(stored.username != stored.password);  // each enciphered afresh
    QCOMPARE(Decrypt(stored.username), QString());
    QCOMPARE(Decrypt(stored.password), QString());
    QCOMPARE(stored.hint, QString());
    QCOMPARE(stored.notes, QString());
}

void TestAccountDialogs::duplicateNamesAccepted()
{
    Sandbox sandbox;
    sandbox.addAccount(QStringLiteral("Twin"), QStringLiteral("first"));
    auto vault = sandbox.openVault();
    const int result = execNew(*vault, [](QDialog* dialog) {
        typeInto(dialog, "txtName", QStringLiteral("Twin"));
        typeInto(dialog, "txtUsername", QStringLiteral("second"));
        clickOn(dialog, "cmdOk");
    });
    QCOMPARE(result, int(QDialog::Accepted));
    QCOMPARE(plainAccounts(*vault), (QList<AccountFields>{twin("first"), twin("second")}));
}

void TestAccountDialogs::cancelAndCloseBoxStoreNothing()
{
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    const auto typeAll = [](QDialog* dialog) {
        typeInto(dialog, "txtName", QStringLiteral("Kept?"));
        typeInto(dialog, "txtURL", QStringLiteral("nohost"));
        clickOn(dialog, "cmdOk");  // refused: the URL gets its prefix
    };
    int result = execNew(*vault, [&](QDialog* dialog) {
        typeAll(dialog);
        clickOn(dialog, "cmdCancel");
    });
    QCOMPARE(result, int(QDialog::Rejected));
    result = execNew(*vault, [&](QDialog* dialog) {
        // A fresh dialog again, nothing of the last one left.
        QCOMPARE(boxContents(dialog), (AccountFields{{}, {}, {}, QStringLiteral("http://"), {}, {}}));
        typeAll(dialog);
        dialog->close();
    });
    QCOMPARE(result, int(QDialog::Rejected));
    QVERIFY(storedRows(*vault).isEmpty());
}

void TestAccountDialogs::typingAndPastingStopAtTheLimits()
{
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    frmNewAccount dialog(*vault);
    dialog.show();
    QVERIFY(waitUntilActive(&dialog));

    auto* user = childNamed<QLineEdit>(&dialog, "txtUsername");
    user->setFocus();
    QTest::keyClicks(user, QString(60, QLatin1Char('u')));
    QCOMPARE(user->text().size(), 50);

    auto* hint = childNamed<QPlainTextEdit>(&dialog, "txtHint");
    hint->setFocus();
    hint->insertPlainText(QString(1990, QLatin1Char('h')));
    QTest::keyClick(hint, Qt::Key_Return);
    QTest::keyClicks(hint, QStringLiteral("123456789abc"));
    QString expected = QString(1990, QLatin1Char('h')) + QStringLiteral("\n123456789");
    QCOMPARE(AccountDialog::boxText(hint), expected);

    // Text typed in the middle: the overflow is taken from what came in.
    QTextCursor cursor = hint->textCursor();
    cursor.setPosition(5);
    hint->setTextCursor(cursor);
    QTest::keyClicks(hint, QStringLiteral("zz"));
    QCOMPARE(AccountDialog::boxText(hint), expected);
    hint->selectAll();
    hint->insertPlainText(QString(2500, QLatin1Char('p')));
    QCOMPARE(AccountDialog::boxText(hint), QString(2000, QLatin1Char('p')));

    // A character outside the basic plane is never split at the limit.
    auto* notes = childNamed<QPlainTextEdit>(&dialog, "txtNotes");
    notes->setFocus();
    notes->insertPlainText(QString(1999, QLatin1Char('n')));
    notes->insertPlainText(QStringLiteral("😀"));
    QCOMPARE(AccountDialog::boxText(notes), QString(1999, QLatin1Char('n')));
    notes->insertPlainText(QStringLiteral("é"));
    QCOMPARE(AccountDialog::boxText(notes).size(), 2000);
    QTest::keyClick(notes, Qt::Key_Backspace);
    QCOMPARE(AccountDialog::boxText(notes).size(), 1999);
}

void TestAccountDialogs::longAndForeignTextsRoundTrip()
{
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    const AccountFields plain = longPlainAccount();
    QCOMPARE(plain.hint.size(), 2000);

    int result = execNew(*vault, [&](QDialog* dialog) {
        fillBoxes(dialog, plain);
        QCOMPARE(boxContents(dialog), plain);
        clickOn(dialog, "cmdOk");
    });
    QCOMPARE(result, int(QDialog::Accepted));
    QCOMPARE(plainAccounts(*vault), QList<AccountFields>{plain});

    AccountFields shown;
    const auto look = [&](QDialog* dialog) {
        shown = boxContents(dialog);
        clickOn(dialog, "cmdOk");
    };
    QVERIFY(editWith(*vault, 0, look).rebuilt);
    QCOMPARE(shown, plain);
    QCOMPARE(plainAccounts(*vault), QList<AccountFields>{plain});

    // A record stored longer than the boxes take (by other means) is shown
    // and stored back whole.
    AccountFields longer = plain;
    longer.account += QStringLiteral("+more");
    longer.hint += QStringLiteral("+more");
    longer.password += QStringLiteral("🔑");
    vault->updateAccountAt(
        1, storedRows(*vault)[0].rowid,
        {longer.account, Encrypt(longer.username), Encrypt(longer.password), longer.url, longer.hint, longer.notes});
    QVERIFY(editWith(*vault, 0, look).rebuilt);
    QCOMPARE(shown, longer);
    QCOMPARE(plainAccounts(*vault), QList<AccountFields>{longer});
}

void TestAccountDialogs::charactersStayWholeAtEveryLimit_data()
{
    QTest::addColumn<QByteArray>("box");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QString>("how");
    const QList<QPair<const char*, int>> boxes{{"txtName", 255}, {"txtUsername", 50}, {"txtPassword", 50},
                                               {"txtURL", 255},  {"txtHint", 2000},   {"txtNotes", 2000}};
    for (const auto& [box, limit] : boxes) {
        for (const char* how : {"key", "input method", "paste"})
            QTest::addRow("%s %s", box, how) << QByteArray(box) << limit << QString::fromLatin1(how);
    }
}

void TestAccountDialogs::charactersStayWholeAtEveryLimit()
{
    QFETCH(QByteArray, box);
    QFETCH(int, limit);
    QFETCH(QString, how);
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    frmNewAccount dialog(*vault);
    dialog.show();
    QVERIFY(waitUntilActive(&dialog));
    QWidget* target = childNamed<QWidget>(&dialog, box.constData());
    const QString text = (QStringLiteral("http://") + QString(limit, QLatin1Char('w'))).left(limit - 3);
    const QString high = Emoji.left(1), low = Emoji.right(1);

    // Three units of room: what fits comes in, up to the character that does not.
    putText(target, text, text.size());
    deliver(target, how, QStringLiteral("ab") + Emoji);
    QCOMPARE(held(target), text + QStringLiteral("ab"));
    // In a multi-line box one Ctrl+Z takes back what came in, cut and all.
    if (qobject_cast<QPlainTextEdit*>(target)) {
        QTest::keyClick(target, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(held(target), text);
    }
    // One unit: neither the pair nor half of it, even when the half comes alone.
    const QString oneShort = putText(target, text + QStringLiteral("aa"), 8);
    deliver(target, how, Emoji);
    deliver(target, QStringLiteral("input method"), high);
    QCOMPARE(held(target), oneShort);
    // Three units in the middle: the pair comes in and a half without a partner
    // goes, but a half that comes alone waits for its partner.
    const QString full = text.left(8) + Emoji + text.mid(8);
    putText(target, text, 8);
    deliver(target, how, Emoji + low);
    QCOMPARE(held(target), full);
    putText(target, text, 8);
    deliver(target, QStringLiteral("input method"), high);
    QCOMPARE(held(target), text.left(8) + high + text.mid(8));
    deliver(target, QStringLiteral("input method"), low);
    QCOMPARE(held(target), full);

    if (box != "txtName")
        childNamed<QLineEdit>(&dialog, "txtName")->setText(QStringLiteral("n"));
    clickOn(&dialog, "cmdOk");
    const AccountFields stored = plainAccounts(*vault).value(0);
    const QStringList fields{stored.account, stored.username, stored.password, stored.url, stored.hint, stored.notes};
    QCOMPARE(fields.count(full), qsizetype(1));
}

void TestAccountDialogs::editShowsAndStoresTheRowAtItsPosition()
{
    Sandbox sandbox;
    sandbox.addAccount(QStringLiteral("Gamma"), QStringLiteral("g"), QStringLiteral("gp"));
    sandbox.addAccount(QStringLiteral("Beta"), QStringLiteral("b"), QStringLiteral("bp"), QStringLiteral("http://b"),
                       QStringLiteral("hint\nb"), QStringLiteral("notes b"));
    sandbox.addAccount(QStringLiteral("alpha"), QStringLiteral("a"), QStringLiteral("ap"));
    auto vault = sandbox.openVault();
    const auto before = plainAccounts(*vault);

    AccountFields shown;
    QString title;
    const Edit edit = editWith(*vault, 1, [&](QDialog* dialog) {
        title = dialog->windowTitle();
        shown = boxContents(dialog);
        QCOMPARE(dialog->focusWidget(), childNamed<QWidget>(dialog, "txtName"));
        typeInto(dialog, "txtUsername", QStringLiteral("b2"));
        typeInto(dialog, "txtPassword", QStringLiteral("bp2"));
        childNamed<QPlainTextEdit>(dialog, "txtNotes")->appendPlainText(QStringLiteral("more"));
        clickOn(dialog, "cmdOk");
    });
    QVERIFY(edit.rebuilt);
    QVERIFY(edit.opened);
    QCOMPARE(Module1::EditIndex, qint64(1));
    QCOMPARE(title, QStringLiteral("Edit Account Information. . ."));
    QCOMPARE(shown,
             (AccountFields{QStringLiteral("Beta"), QStringLiteral("b"), QStringLiteral("bp"),
                            QStringLiteral("http://b"), QStringLiteral("hint\nb"), QStringLiteral("notes b")}));
    auto expected = before;
    expected[1].username = QStringLiteral("b2");
    expected[1].password = QStringLiteral("bp2");
    expected[1].notes = QStringLiteral("notes b\nmore");
    QCOMPARE(plainAccounts(*vault), expected);
}

void TestAccountDialogs::editReachesEachOfTwoEqualNames()
{
    Sandbox sandbox;
    sandbox.addAccount(QStringLiteral("Twin"), QStringLiteral("first"));
    sandbox.addAccount(QStringLiteral("Twin"), QStringLiteral("second"));
    auto vault = sandbox.openVault();
    for (qint64 position : {1, 0}) {
        QString shownUser;
        QVERIFY(editWith(*vault, position, [&](QDialog* dialog) {
                    shownUser = childNamed<QLineEdit>(dialog, "txtUsername")->text();
                    typeInto(dialog, "txtHint", QStringLiteral("edited %1").arg(position));
                    clickOn(dialog, "cmdOk");
                }).rebuilt);
        QCOMPARE(shownUser, position == 0 ? QStringLiteral("first") : QStringLiteral("second"));
    }
    QCOMPARE(plainAccounts(*vault), (QList<AccountFields>{twin("first", "edited 0"), twin("second", "edited 1")}));
}

void TestAccountDialogs::editFindsNoRowForNoSelectionOrPastTheEnd()
{
    Sandbox sandbox;
    auto vault = sandbox.openVault();
    const Edit onEmpty = editWith(*vault, 0);
    QVERIFY(!onEmpty.rebuilt);
    QVERIFY(!onEmpty.opened);
    sandbox.addAccount(QStringLiteral("One"));
    sandbox.addAccount(QStringLiteral("Two"));
    for (qint64 position : {qint64(-1), qint64(2), qint64(32767), qint64(40000), std::numeric_limits<qint64>::max(),
                            std::numeric_limits<qint64>::min()}) {
        const Edit edit = editWith(*vault, position);
        QVERIFY(!edit.rebuilt);
        QVERIFY(!edit.opened);
        QCOMPARE(Module1::EditIndex, position);
    }
    QVERIFY(sandbox.messages.isEmpty());
    QCOMPARE(sandbox.ends, 0);
    QCOMPARE(storedRows(*vault).size(), 2);
}

void TestAccountDialogs::editUnchangedRewritesWithFreshCipherText()
{
    Sandbox sandbox;
    sandbox.addAccount(QStringLiteral("Mail"), QStringLiteral("user"), QStringLiteral("pass"),
                       QStringLiteral("http://mail"), QStringLiteral("h"), QStringLiteral("n"));
    auto vault = sandbox.openVault();
    const auto before = storedRows(*vault);
    QStringList left;  // the password box's buffers once it closed
    QVERIFY(editWith(*vault, 0, [&left](QDialog* dialog) {
                const auto held = boxBuffers(dialog, "txtPassword");
                QTest::keyClick(dialog, Qt::Key_Return);
                left = textsAt(held, 4);
            }).rebuilt);
    QVERIFY(!left.contains(QStringLiteral("pass")));
    const auto after = storedRows(*vault);
    QCOMPARE(after.size(), 1);
    QCOMPARE(after[0].rowid, before[0].rowid);
    QVERIFY(after[0].fields.username != before[0].fields.username);
    QVERIFY(after[0].fields.password != before[0].fields.password);
    QCOMPARE(plainAccounts(*vault).value(0),
             (AccountFields{QStringLiteral("Mail"), QStringLiteral("user"), QStringLiteral("pass"),
                            QStringLiteral("http://mail"), QStringLiteral("h"), QStringLiteral("n")}));
}

void TestAccountDialogs::editRenameMovesTheAccount()
{
    Sandbox sandbox;
    sandbox.addAccount(QStringLiteral("Alpha"));
    sandbox.addAccount(QStringLiteral("Beta"));
    auto vault = sandbox.openVault();
    const auto rename = [](QDialog* dialog) {
        typeInto(dialog, "txtName", QStringLiteral("Zulu"));
        clickOn(dialog, "cmdOk");
    };
    QVERIFY(editWith(*vault, 0, rename).rebuilt);
    QCOMPARE(accountNames(*vault), (QStringList{QStringLiteral("Beta"), QStringLiteral("Zulu")}));
}

void TestAccountDialogs::editChecksBeforeStoring()
{
    Sandbox sandbox;
    sandbox.addAccount(QStringLiteral("Files"), QStringLiteral("u"), QStringLiteral("p"), QStringLiteral("ftp://x"));
    auto vault = sandbox.openVault();
    const auto before = storedRows(*vault);
    const auto storeTwice = [&](QDialog* dialog) {
        QCOMPARE(childNamed<QLineEdit>(dialog, "txtURL")->text(), QStringLiteral("ftp://x"));
        typeInto(dialog, "txtName", QStringLiteral("  "));
        clickOn(dialog, "cmdOk");
        QCOMPARE(sandbox.messages.value(0).text, NameMessage);
        QCOMPARE(childNamed<QLineEdit>(dialog, "txtURL")->text(), QStringLiteral("ftp://x"));
        QCOMPARE(storedRows(*vault), before);
        typeInto(dialog, "txtName", QStringLiteral("Files"));
        clickOn(dialog, "cmdOk");
        QCOMPARE(sandbox.messages.value(1).text, UrlMessage);
        QCOMPARE(childNamed<QLineEdit>(dialog, "txtURL")->text(), QStringLiteral("http://ftp://x"));
        QCOMPARE(storedRows(*vault), before);
        QVERIFY(dialog->isVisible());
        clickOn(dialog, "cmdOk");
    };
    QVERIFY(editWith(*vault, 0, storeTwice).rebuilt);
    QCOMPARE(sandbox.messages.size(), 2);
    QCOMPARE(plainAccounts(*vault).value(0).url, QStringLiteral("http://ftp://x"));
}

void TestAccountDialogs::editCancelAndCloseBoxKeepTheRecord()
{
    Sandbox sandbox;
    sandbox.addAccount(QStringLiteral("Mail"), QStringLiteral("user"), QStringLiteral("pass"));
    auto vault = sandbox.openVault();
    const auto before = storedRows(*vault);
    for (bool closeBox : {false, true}) {
        QStringList left;  // the password box's buffers once it closed
        const Edit edit = editWith(*vault, 0, [closeBox, &left](QDialog* dialog) {
            const auto held = boxBuffers(dialog, "txtPassword");
            typeInto(dialog, "txtName", QStringLiteral("Changed"));
            if (closeBox)
                dialog->close();
            else
                clickOn(dialog, "cmdCancel");
            left = textsAt(held, 4);
        });
        QVERIFY(!edit.rebuilt);
        QVERIFY(edit.opened);
        QVERIFY(!left.contains(QStringLiteral("pass")));
    }
    QCOMPARE(storedRows(*vault), before);
}

void TestAccountDialogs::editLeavesARowThatChangedMeanwhile()
{
    Sandbox sandbox;
    sandbox.addAccount(QStringLiteral("Mail"), QStringLiteral("user"));
    auto vault = sandbox.openVault();

    // Another copy of the program puts a new account in front of it.
    QVERIFY(editWith(*vault, 0, [&](QDialog* dialog) {
                typeInto(dialog, "txtUsername", QStringLiteral("changed"));
                sandbox.addAccount(QStringLiteral("Aardvark"), QStringLiteral("other"));
                clickOn(dialog, "cmdOk");
            }).rebuilt);
    auto stored = plainAccounts(*vault);
    QCOMPARE(stored.size(), 2);
    QCOMPARE(stored[0].account, QStringLiteral("Aardvark"));
    QCOMPARE(stored[0].username, QStringLiteral("other"));
    QCOMPARE(stored[1].username, QStringLiteral("user"));

    // ... or deletes the row being edited.
    QVERIFY(editWith(*vault, 1, [&](QDialog* dialog) {
                typeInto(dialog, "txtUsername", QStringLiteral("changed"));
                auto other = sandbox.openVault();
                QVERIFY(other->deleteAccountAt(2, storedRows(*other)[1].rowid));
                clickOn(dialog, "cmdOk");
            }).rebuilt);
    stored = plainAccounts(*vault);
    QCOMPARE(stored.size(), 1);
    QCOMPARE(stored[0].username, QStringLiteral("other"));
    QVERIFY(sandbox.messages.isEmpty());
}

void TestAccountDialogs::editNeverLoadsAnotherRow_data()
{
    QTest::addColumn<bool>("deleted");
    QTest::newRow("a row put in front") << false;
    QTest::newRow("the row deleted") << true;
}

void TestAccountDialogs::editNeverLoadsAnotherRow()
{
    // The other copy commits after the entry was picked and checked, just
    // before the dialog loads.
    QFETCH(bool, deleted);
    Sandbox sandbox;
    sandbox.addAccount(QStringLiteral("Mail"), QStringLiteral("user"));
    sandbox.addAccount(QStringLiteral("News"), QStringLiteral("reader"));
    auto vault = sandbox.openVault();
    const auto picked = vault->accountList().at(0);
    auto other = sandbox.openVault();
    if (deleted)
        QVERIFY(other->deleteAccountAt(1, picked.rowid));
    else
        sandbox.addAccount(QStringLiteral("Aardvark"), QStringLiteral("other"));
    const auto before = storedRows(*vault);
    bool opened = false;
    driveNextDialog([&opened](QDialog* dialog) {
        opened = true;
        clickOn(dialog, "cmdOk");
    });
    QVERIFY(ShowEditAccount(nullptr, *vault, 0, picked.rowid));
    callOffModalActions();
    QCoreApplication::processEvents();
    QVERIFY(!opened);
    QCOMPARE(storedRows(*vault), before);
    QVERIFY(sandbox.messages.isEmpty());
}

void TestAccountDialogs::editEndsOnUndecipherableFieldWithoutShowing()
{
    Sandbox sandbox;
    sandbox.openVault()->appendAccount({QStringLiteral("Broken"),
                                        Encrypt(QStringLiteral("user")),
                                        QStringLiteral("not cipher text"),
                                        QStringLiteral("http://"),
                                        {},
                                        {}});
    auto vault = sandbox.openVault();
    const auto before = storedRows(*vault);
    const Edit edit = editWith(*vault, 0, [](QDialog* dialog) { clickOn(dialog, "cmdOk"); });
    QVERIFY(!edit.rebuilt);
    QVERIFY(!edit.opened);
    QCOMPARE(sandbox.ends, 1);
    QCOMPARE(sandbox.messages.size(), 1);
    QVERIFY(sandbox.messages[0].text.startsWith(QStringLiteral("Run-time error '5'")));
    QCOMPARE(storedRows(*vault), before);
}

QUILLOCK_TEST_MAIN(TestAccountDialogs)
#include "tst_accountdialogs.moc"
