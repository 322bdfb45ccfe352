// The main window: its layout, the account list and detail panel, reveal,
// delete, the thirty-second clearing, and what guards each of them.
#include "testsupport.h"

#include "accounts/frmMain.h"
#include "shared/module1.h"
#include "vault/accountlimits.h"
#include "vault/apperror.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QClipboard>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QToolButton>

namespace {

const QString Mask = QStringLiteral("****************");

}  // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void layoutMenusAndTabOrder()
    {
        MainWindowFixture f;
        f.start();
        QCOMPARE(f.window->centralWidget()->size(), QSize(466, 305));
        QCOMPARE(childNamed<QGroupBox>(f.window.get(), "Frame2")->title(), QStringLiteral("Account Information"));
        QCOMPARE(childNamed<QWidget>(f.window.get(), "cmdEdit")->geometry(), QRect(376, 96, 80, 25));
        QCOMPARE(childNamed<QWidget>(f.window.get(), "cmdEdit")->parentWidget(), f.window->centralWidget());
        QCOMPARE(childNamed<QWidget>(f.window.get(), "lblNotes")->parentWidget()->objectName(),
                 QStringLiteral("Frame2"));
        QCOMPARE(childNamed<QLabel>(f.window.get(), "lblUsername")->font().pointSizeF(), 9.75);
        QVERIFY(!(f.window->windowFlags() & Qt::WindowMaximizeButtonHint));

        QStringList visibleMenus;
        for (QAction* menu : f.window->menuBar()->actions())
            if (menu->isVisible())
                visibleMenus << menu->text();
        QCOMPARE(visibleMenus, QStringList({"He&lp "}));
        QMenu* tray = childNamed<QMenu>(f.window.get(), "mnuTray");
        QCOMPARE(tray->actions().size(), 3);
        QVERIFY(tray->actions().at(1)->isSeparator());
        QCOMPARE(tray->actions().at(2)->text(), QStringLiteral("E&xit Program"));
        QCOMPARE(childNamed<QMenu>(f.window.get(), "mnuVisit")->actions().size(), 1);

        const QStringList order = {"cmdExit", "cmdHelp",   "cmdNewAccount", "FlatBttn1", "cmdEdit",
                                   "cmdHttp", "cmdReveal", "cboAccount",    "cmdDelete", "FlatBttn2"};
        const auto nextTabStop = [](QWidget* from) {
            QWidget* next = from->nextInFocusChain();
            while (!(next->focusPolicy() & Qt::TabFocus))
                next = next->nextInFocusChain();
            return next->objectName();
        };
        for (int i = 0; i + 1 < order.size(); ++i)
            QCOMPARE(nextTabStop(childNamed<QWidget>(f.window.get(), order[i].toLatin1())), order[i + 1]);
        auto* flat = childNamed<QToolButton>(f.window.get(), "FlatBttn2");
        QCOMPARE(flat->text(), QStringLiteral("Print Report"));
        QCOMPARE(flat->toolTip(), QStringLiteral("Print report containing all records."));
        QVERIFY(!flat->icon().isNull());
    }

    void pickShowsTheRowBehindTheMask()
    {
        MainWindowFixture f;
        f.sandbox.addAccount("first", "user one", "abc", "http://", "hint 1", "line 1\nline 2");
        f.sandbox.addAccount("last", "user two", QString(50, 'x'), "http://a", "", "");
        f.start();
        f.pick(0);
        QCOMPARE(f.label("lblUsername"), QStringLiteral("user one"));
        QCOMPARE(f.label("lblPassword"), Mask);
        QCOMPARE(f.label("lblNotes"), QStringLiteral("line 1\nline 2"));
        QCOMPARE(Module1::SelectedPassword, QStringLiteral("abc"));
        QVERIFY(f.window->timer().isActive());
        QVERIFY(f.enabled("cmdEdit") && f.enabled("cmdDelete") && f.enabled("cmdReveal"));
        QVERIFY(!f.enabled("cmdHttp"));  // "http://" alone is not an address

        f.pick(1);
        QCOMPARE(f.label("lblUsername"), QStringLiteral("user two"));
        QCOMPARE(f.label("lblPassword"), Mask);
        QCOMPARE(Module1::SelectedPassword, QString(50, 'x'));
        QVERIFY(f.enabled("cmdHttp"));
        // A later pick with a short address never disables it again.
        f.pick(0);
        QVERIFY(f.enabled("cmdHttp"));
    }

    void markupInFieldsIsShownAsText()
    {
        MainWindowFixture f;
        f.sandbox.addAccount("<b>bold</b>", "<i>u</i>", "p", "http://<x>", "<h1>big</h1>", "&amp;");
        f.start();
        f.pick(0);
        for (const char* name : {"lblUsername", "lblURL", "lblHint", "lblNotes"})
            QCOMPARE(childNamed<QLabel>(f.window.get(), name)->textFormat(), Qt::PlainText);
        QCOMPARE(f.label("lblNotes"), QStringLiteral("&amp;"));
    }

    void revealAsksForTheMasterPassword()
    {
        MainWindowFixture f;
        f.sandbox.addAccount("a", "u", "the password");
        f.start();
        f.pick(0);
        answerMasterPrompt(MasterPassword.toUpper());
        f.click("cmdReveal");
        QCOMPARE(f.label("lblPassword"), Mask);
        QCOMPARE(f.sandbox.messages.size(), 1);
        QCOMPARE(f.sandbox.messages[0].text, QStringLiteral("Security check failed."));
        QCOMPARE(f.sandbox.messages[0].title, QStringLiteral("Quillock Security Check"));
        QCOMPARE(f.sandbox.messages[0].icon, QMessageBox::Critical);

        answerMasterPrompt(MasterPassword);
        f.click("cmdReveal");
        QCOMPARE(f.label("lblPassword"), QStringLiteral("the password"));
        QCOMPARE(f.sandbox.messages.size(), 1);
        // The next pick puts the mask back.
        f.pick(0);
        QCOMPARE(f.label("lblPassword"), Mask);
    }

    void screenReaderHearsEachCaptionOnce_data()
    {
        QTest::addColumn<QByteArray>("label");
        QTest::addColumn<QString>("empty");
        QTest::addColumn<QString>("picked");
        QTest::addColumn<QString>("revealed");
        QTest::newRow("username") << QByteArray("lblUsername") << "Username: empty"
                                  << "Username: bob"
                                  << "Username: bob";
        QTest::newRow("password") << QByteArray("lblPassword") << "Password: empty"
                                  << "Password: masked"
                                  << "Password: the password";
        QTest::newRow("URL") << QByteArray("lblURL") << "Internet URL: empty"
                             << "Internet URL: http://a.example"
                             << "Internet URL: http://a.example";
        QTest::newRow("hint") << QByteArray("lblHint") << "Password Hint: empty"
                              << "Password Hint: two\nlines"
                              << "Password Hint: two\nlines";
        QTest::newRow("notes") << QByteArray("lblNotes") << "Other Notes: empty"
                               << "Other Notes: n"
                               << "Other Notes: n";
    }

    void screenReaderHearsEachCaptionOnce()
    {
        QFETCH(QByteArray, label);
        QFETCH(QString, empty);
        QFETCH(QString, picked);
        QFETCH(QString, revealed);
        MainWindowFixture f;
        f.sandbox.addAccount("a", "bob", "the password", "http://a.example", "two\nlines", "n");
        f.start();
        QLabel* detail = childNamed<QLabel>(f.window.get(), label.constData());
        const auto heard = [detail] { return QAccessible::queryAccessibleInterface(detail)->text(QAccessible::Name); };
        QCOMPARE(heard(), empty);
        f.pick(0);
        QCOMPARE(heard(), picked);
        answerMasterPrompt(MasterPassword);
        f.click("cmdReveal");
        QCOMPARE(heard(), revealed);
        f.window->LoadAccountList();
        QCOMPARE(heard(), empty);
    }

    void deleteAsksAndRemovesOnlyOnOk()
    {
        MainWindowFixture f;
        f.sandbox.addAccount("a");
        f.sandbox.addAccount("b");
        f.start();
        f.pick(1);
        f.sandbox.answers = {QMessageBox::Cancel};
        f.click("cmdDelete");
        QCOMPARE(f.sandbox.messages.last().text, QStringLiteral("Delete this account from the Quillock database?"));
        QCOMPARE(f.sandbox.messages.last().title, QStringLiteral("Delete Confirmation. . ."));
        QCOMPARE(f.sandbox.messages.last().buttons, QMessageBox::Ok | QMessageBox::Cancel);
        QCOMPARE(f.list()->count(), 2);
        QCOMPARE(f.label("lblPassword"), Mask);
        QVERIFY(!f.window->timer().isActive());

        f.click("cmdDelete");
        QCOMPARE(f.list()->count(), 1);
        QCOMPARE(f.list()->itemText(0), QStringLiteral("a"));
        QCOMPARE(f.label("lblUsername"), QString());
        QVERIFY(!f.enabled("cmdDelete"));
        QCOMPARE(f.sandbox.openVault()->accountList().size(), size_t(1));
    }

    void anotherCopysChangeNeverReachesTheWrongRow()
    {
        MainWindowFixture f;
        f.sandbox.addAccount("b", "user b");
        f.start();
        // Another copy adds "a", which now stands at the first position.
        f.sandbox.addAccount("a", "user a");
        f.pick(0);
        QCOMPARE(f.label("lblUsername"), QString());
        QCOMPARE(f.list()->count(), 2);  // rebuilt instead of showing "a" as "b"

        f.pick(1);
        QCOMPARE(f.label("lblUsername"), QStringLiteral("user b"));
        f.sandbox.addAccount("0 first", "user 0");
        f.click("cmdDelete");
        QCOMPARE(f.sandbox.openVault()->accountList().size(), size_t(3));  // nothing deleted
        QCOMPARE(f.list()->count(), 3);
    }

    void clickingAnEntryOfTheOpenListPicksIt()
    {
        MainWindowFixture f;
        f.sandbox.addAccount("a", "user a");
        f.sandbox.addAccount("b", "user b");
        f.start();
        QVERIFY(QTest::qWaitForWindowExposed(f.window.get(), LoadedMachineMs));
        f.list()->showPopup();
        QAbstractItemView* view = f.list()->view();
        QVERIFY(QTest::qWaitForWindowExposed(view->window(), LoadedMachineMs));
        const QRect entry = view->visualRect(view->model()->index(1, 0));
        QVERIFY(view->viewport()->rect().contains(entry.center()));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, entry.center());
        QTRY_COMPARE_WITH_TIMEOUT(f.label("lblUsername"), QStringLiteral("user b"), LoadedMachineMs);
        QCOMPARE(f.list()->currentIndex(), 1);
    }

    void listEntriesLieWithinThePopup()
    {
        MainWindowFixture f;
        // The first name is wider than the list, and than the screen.
        f.sandbox.addAccount(QStringLiteral("A") + QString(AccountLimits::Name - 1, QLatin1Char('w')));
        f.sandbox.addAccount(QStringLiteral("b"));
        f.start();
        f.list()->showPopup();
        QAbstractItemView* popup = f.list()->view();
        QVERIFY(popup->isVisible());
        // The popup widens to show more of a long name.
        QVERIFY(popup->viewport()->width() > f.list()->width());
        // A screen reader clicks an entry in its middle: that must be on the list.
        for (int row = 0; row < 2; ++row) {
            const QRect entry = popup->visualRect(popup->model()->index(row, 0));
            QVERIFY2(popup->viewport()->rect().contains(entry.center()), qPrintable(QString::number(row)));
        }
        f.list()->hidePopup();
    }

    void timerEmptiesThePanelAfterThirtySeconds()
    {
        MainWindowFixture f;
        f.sandbox.addAccount("a", "u", "p");
        f.start();
        QCOMPARE(f.window->timer().interval(), 30000);
        f.pick(0);
        answerMasterPrompt(MasterPassword);
        f.click("cmdReveal");
        QCOMPARE(f.label("lblPassword"), QStringLiteral("p"));
        QVERIFY(f.window->timer().isActive());  // the reveal leaves the clearing running
        // Shortened only now, so however long the prompt took, the tick comes after the reveal.
        f.window->timer().setInterval(50);
        QTRY_VERIFY_WITH_TIMEOUT(!f.window->timer().isActive(), LoadedMachineMs);
        QCOMPARE(f.label("lblPassword"), QString());
        QCOMPARE(f.list()->currentIndex(), -1);
        QCOMPARE(Module1::SelectedPassword, QString());
        QVERIFY(!f.enabled("cmdReveal"));
    }

    void aPickRestartsTheClearing()
    {
        MainWindowFixture f;
        f.sandbox.addAccount("a", "u", "p");
        f.start();
        // Compared by the time left, so a slow machine cannot change the outcome.
        QTimer& timer = f.window->timer();
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(60000);
        f.pick(0);
        QTest::qWait(20);
        const int left = timer.remainingTime();
        f.pick(0);
        QVERIFY(timer.remainingTime() > left);
        QCOMPARE(f.label("lblUsername"), QStringLiteral("u"));
        timer.setInterval(50);
        QTRY_COMPARE_WITH_TIMEOUT(f.label("lblUsername"), QString(), LoadedMachineMs);
    }

    void fortyThousandAccounts()
    {
        MainWindowFixture f;
        addAccounts(*f.sandbox.openVault(), 40000, [](int i) {
            return AccountFields{QStringLiteral("acct %1").arg(i, 5, 10, QLatin1Char('0')),
                                 QStringLiteral("someone"),
                                 QStringLiteral("pw %1").arg(i),
                                 QStringLiteral("http://"),
                                 {},
                                 {}};
        });
        f.start();
        QCOMPARE(f.list()->count(), 40000);
        f.pick(39999);
        QCOMPARE(Module1::SelectedPassword, QStringLiteral("pw 39999"));
        answerMasterPrompt(MasterPassword);
        f.click("cmdReveal");
        QCOMPARE(f.label("lblPassword"), QStringLiteral("pw 39999"));
        f.click("cmdDelete");
        QCOMPARE(f.list()->count(), 39999);
        QCOMPARE(f.list()->itemText(39998), QStringLiteral("acct 39998"));
    }

    void untrappedFailureReportsAndEnds()
    {
        MainWindowFixture f;
        f.sandbox.addAccount("a", "u", "p");
        execOnVault(f.sandbox.vaultPath(), "update accounts set password = 'damaged'");
        f.start();
        f.pick(0);
        QCOMPARE(f.sandbox.ends, 1);
        QCOMPARE(f.sandbox.messages.size(), 1);
        QVERIFY(f.sandbox.messages[0].text.contains(QString::number(ErrorCode::CipherFailure)));
        QCOMPARE(Module1::SelectedPassword, QString());
    }

    void fieldsEmptiedByAnotherProgramShowAsEmpty()
    {
        MainWindowFixture f;
        f.sandbox.addAccount("a", "u", "p", "http://a", "h", "n");
        execOnVault(f.sandbox.vaultPath(), "update accounts set username = null, password = '', hint = null");
        f.start();
        f.pick(0);
        QCOMPARE(f.sandbox.ends, 0);
        QCOMPARE(f.label("lblUsername"), QString());
        QCOMPARE(f.label("lblURL"), QStringLiteral("http://a"));
        QCOMPARE(Module1::SelectedPassword, QString());
    }

    void clipboardKeysDoNothingHere()
    {
        MainWindowFixture f;
        f.sandbox.addAccount("a", "u", "p");
        f.start();
        f.pick(0);
        QApplication::clipboard()->setText(QStringLiteral("before"));
        f.list()->setFocus();
        QTest::keyClick(f.window.get(), Qt::Key_C, Qt::ControlModifier);
        QTest::keyClick(f.window.get(), Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("before"));
        QCOMPARE(f.list()->count(), 1);
    }
};

QUILLOCK_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
