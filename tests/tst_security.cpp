// The master password windows and the security check, driven as the user
// drives them.
#include "security/securitycheck.h"
#include "testsupport.h"

#include "security/frmChangePassword.h"
#include "security/frmCreatePassword.h"
#include "security/frmMasterPassword.h"
#include "shared/module1.h"
#include "shared/settings.h"
#include "vault/apperror.h"
#include "vault/stringcipher.h"

#include <QAccessible>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>

namespace {

const QString RuleText =
    QStringLiteral("Data validation failed.  Your master password must be between eight and sixteen characters.  "
                   "The passwords you entered must match.  Please try again.");
const QString RuleTitle = QStringLiteral("Quillock Security Initialization");

// One security check; `steps` act on the prompt.
bool checkWith(VaultStore& vault, std::function<void(QDialog*)> steps, QWidget* owner = nullptr)
{
    driveNextDialog([steps](QDialog* modal) {
        QVERIFY(qobject_cast<frmMasterPassword*>(modal));
        steps(modal);
    });
    return Module1::SecurityCheck(owner, vault);
}

void typeBoth(QDialog* dialog, const QString& first, const QString& second)
{
    typeInto(dialog, "txtPassword1", first);
    typeInto(dialog, "txtPassword2", second);
}

QString text(QWidget* parent, const char* name)
{
    return childNamed<QLineEdit>(parent, name)->text();
}

// How a password dialog stands after OK: still open or not, what its two
// boxes hold and where the focus is.
struct AfterOk {
    bool open = false;
    QString first, second, focused;
};

AfterOk clickOk(QDialog* dialog)
{
    clickOn(dialog, "cmdOk");
    QWidget* focused = QApplication::focusWidget();
    return {dialog->isVisible(), text(dialog, "txtPassword1"), text(dialog, "txtPassword2"),
            focused ? focused->objectName() : QString()};
}

// A refusal leaves the dialog open, both boxes emptied and the focus in the first.
void verifyRefused(const AfterOk& after)
{
    QVERIFY(after.open);
    QCOMPARE(after.first, QString());
    QCOMPARE(after.second, QString());
    QCOMPARE(after.focused, QStringLiteral("txtPassword1"));
}

// Object names of the controls that Tab visits from the initial focus.
QStringList tabRound(int steps)
{
    QStringList visited;
    for (int i = 0; i < steps; ++i) {
        QWidget* focused = QApplication::focusWidget();
        if (!focused)
            return visited;
        visited << focused->objectName();
        QTest::keyClick(focused, Qt::Key_Tab);
    }
    return visited;
}

bool ruleMessageShown(const Sandbox& sandbox)
{
    if (sandbox.messages.size() != 1)
        return false;
    const MessageBox::Request& shown = sandbox.messages.first();
    return shown.text == RuleText && shown.title == RuleTitle && shown.icon == QMessageBox::Critical
        && shown.buttons == QMessageBox::StandardButtons(QMessageBox::Ok);
}

QString settingsFile()
{
    return QSettings(Module1::ProgramTitle, Module1::ProgramTitle).fileName();
}

void checkLook(QDialog* dialog, const QString& title, QSize client, const QList<QLineEdit*>& boxes)
{
    QCOMPARE(dialog->windowTitle(), title);
    QCOMPARE(dialog->size(), client);
    QCOMPARE(dialog->minimumSize(), client);
    QCOMPARE(dialog->maximumSize(), client);
    QVERIFY(!dialog->isSizeGripEnabled());
    QVERIFY(!(dialog->windowFlags() & Qt::WindowContextHelpButtonHint));
    QCOMPARE(dialog->font().family(), QStringLiteral("Arial"));
    QCOMPARE(dialog->font().pointSizeF(), 8.25);
    for (QLineEdit* box : boxes) {
        QCOMPARE(box->echoMode(), QLineEdit::Password);
        QCOMPARE(box->maxLength(), 16);
        QCOMPARE(box->font().family(), QStringLiteral("Courier"));
        QCOMPARE(box->font().pointSizeF(), 9.75);
    }
    auto* ok = childNamed<QPushButton>(dialog, "cmdOk");
    QVERIFY(ok->isDefault());
    QCOMPARE(ok->toolTip(), QStringLiteral("Validate Password"));
    QCOMPARE(ok->text(), QStringLiteral("&Ok"));
}

}  // namespace

class TestSecurity : public QObject {
    Q_OBJECT
private slots:
    // ---- creation ----

    void createLooksAndMovesAsDescribed()
    {
        Sandbox sandbox;
        auto vault = sandbox.openVault();
        frmCreatePassword dialog(*vault);
        QStringList round;
        QPoint offCentre;
        execWith(dialog, [&](QDialog* d) {
            offCentre = d->frameGeometry().center() - d->screen()->availableGeometry().center();
            round = tabRound(5);
            // Enter from a box presses OK.
            QTest::keyClick(childNamed<QLineEdit>(d, "txtPassword2"), Qt::Key_Return);
        });
        checkLook(&dialog, QStringLiteral("Please select a . . ."), {283, 177},
                  {childNamed<QLineEdit>(&dialog, "txtPassword1"), childNamed<QLineEdit>(&dialog, "txtPassword2")});
        QCOMPARE(childNamed<QPushButton>(&dialog, "cmdExit")->text(), QStringLiteral("E&xit"));
        QVERIFY2(qAbs(offCentre.x()) <= 2 && qAbs(offCentre.y()) <= 2, "not centred on the screen");
        QCOMPARE(round, (QStringList{"txtPassword1", "txtPassword2", "cmdOk", "cmdExit", "txtPassword1"}));
        QVERIFY(ruleMessageShown(sandbox));
    }

    void createAccepts_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored");
        QTest::newRow("eight") << "abcdefgh"
                               << "abcdefgh";
        QTest::newRow("sixteen") << "abcdefghIJKLMN16"
                                 << "abcdefghIJKLMN16";
        QTest::newRow("spaces around eight") << "  abcdefgh  "
                                             << "abcdefgh";
        QTest::newRow("inner spaces kept") << " pass word 1 "
                                           << "pass word 1";
        QTest::newRow("seventeenth not typed") << "abcdefghijklmnopq"
                                               << "abcdefghijklmnop";
    }

    void createAccepts()
    {
        QFETCH(QString, typed);
        QFETCH(QString, stored);
        Sandbox sandbox;
        auto vault = sandbox.openVault();
        frmCreatePassword dialog(*vault);
        const int result = execWith(dialog, [&](QDialog* d) {
            typeBoth(d, typed, typed);
            clickOn(d, "cmdOk");
        });
        QCOMPARE(result, int(QDialog::Accepted));
        QVERIFY(sandbox.messages.isEmpty());
        QCOMPARE(sandbox.ends, 0);
        auto other = sandbox.openVault();
        QVERIFY(other->isInitialized());
        QCOMPARE(Decrypt(other->storedMasterPassword()), stored);
        QCOMPARE(Settings::getSetting(Settings::InitializedKey), QStringLiteral("T"));
    }

    void createRejects_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("seven padded with spaces") << "    abcdefg     "
                                                  << "    abcdefg     ";
        QTest::newRow("letter case") << "Password1"
                                     << "password1";
        QTest::newRow("trailing space") << "password1"
                                        << "password1 ";
        QTest::newRow("both empty") << ""
                                    << "";
    }

    void createRejects()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        Sandbox sandbox;
        auto vault = sandbox.openVault();
        frmCreatePassword dialog(*vault);
        AfterOk refused;
        bool initializedBetween = true;
        const int result = execWith(dialog, [&](QDialog* d) {
            typeBoth(d, first, second);
            refused = clickOk(d);
            initializedBetween = sandbox.openVault()->isInitialized();
            // The window is still usable.
            typeBoth(d, QStringLiteral("goodpass"), QStringLiteral("goodpass"));
            clickOn(d, "cmdOk");
        });
        QVERIFY(ruleMessageShown(sandbox));
        verifyRefused(refused);
        QVERIFY(!initializedBetween);
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(Decrypt(vault->storedMasterPassword()), QStringLiteral("goodpass"));
    }

    void sameTypingAlwaysPassesTheCheck_data()
    {
        QTest::addColumn<bool>("options");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("delivered");
        QTest::addColumn<QString>("stored");
        const QString fifteen = QStringLiteral("abcdefghijklmno");
        for (const char* how : {"key", "input method", "paste"})
            QTest::addRow("15 letters and an emoji, %s", how) << false << fifteen << how << Emoji << fifteen;
        QTest::newRow("14 letters and an emoji")
            << false << fifteen.left(14) << "key" << Emoji << fifteen.left(14) + Emoji;
        const QString high = Emoji.left(1), low = Emoji.right(1);
        QTest::newRow("halves pasted") << false << "abcdefgh"
                                       << "paste"
                                       << "i" + low + "j" + Emoji + high << "abcdefghij" + Emoji;
        QTest::newRow("a half left waiting") << false << "abcdefgh"
                                             << "input method" << high << "abcdefgh";
        QTest::newRow("options, emoji typed") << true << fifteen << "key" << Emoji << fifteen;
        QTest::newRow("options, half pasted") << true << "abcdefgh"
                                              << "paste" << low + "ij"
                                              << "abcdefghij";
    }

    void sameTypingAlwaysPassesTheCheck()
    {
        QFETCH(bool, options);
        QFETCH(QString, typed);
        QFETCH(QString, how);
        QFETCH(QString, delivered);
        QFETCH(QString, stored);
        Sandbox sandbox;
        sandbox.initializeMaster(MasterPassword);
        auto vault = sandbox.openVault();
        const auto enter = [&](QDialog* dialog, const char* name) {
            typeInto(dialog, name, typed);
            deliver(childNamed<QWidget>(dialog, name), how, delivered);
        };
        std::unique_ptr<QDialog> dialog;
        if (options)
            dialog = std::make_unique<frmChangePassword>(*vault);
        else
            dialog = std::make_unique<frmCreatePassword>(*vault);
        const int result = execWith(*dialog, [&](QDialog* d) {
            enter(d, "txtPassword1");
            enter(d, "txtPassword2");
            clickOn(d, "cmdOk");
        });
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(Decrypt(vault->storedMasterPassword()), stored);
        QString entered;
        QVERIFY(checkWith(*vault, [&](QDialog* prompt) {
            enter(prompt, "txtPassword");
            QTest::keyClick(childNamed<QLineEdit>(prompt, "txtPassword"), Qt::Key_Return);
            entered = Module1::EnteredPassword;
        }));
        QCOMPARE(entered, stored);
    }

    void leavingCreationEndsTheProgram_data()
    {
        QTest::addColumn<bool>("closeBox");
        QTest::newRow("Exit button") << false;
        QTest::newRow("close box") << true;
    }

    void leavingCreationEndsTheProgram()
    {
        QFETCH(bool, closeBox);
        Sandbox sandbox;
        auto vault = sandbox.openVault();
        frmCreatePassword dialog(*vault);
        bool openAfterEscape = false;
        int endsAfterEscape = -1;
        const int result = execWith(dialog, [&](QDialog* d) {
            typeBoth(d, QStringLiteral("goodpass"), QStringLiteral("goodpass"));
            QTest::keyClick(childNamed<QLineEdit>(d, "txtPassword1"), Qt::Key_Escape);
            openAfterEscape = d->isVisible();
            endsAfterEscape = sandbox.ends;
            if (closeBox)
                d->close();
            else
                clickOn(d, "cmdExit");
        });
        QVERIFY(openAfterEscape);
        QCOMPARE(endsAfterEscape, 0);
        QCOMPARE(result, int(QDialog::Rejected));
        QCOMPARE(sandbox.ends, 1);
        QVERIFY(sandbox.messages.isEmpty());
        auto other = sandbox.openVault();
        QVERIFY(!other->isInitialized());
        QCOMPARE(other->storedMasterPassword(), QString());
        QCOMPARE(Settings::getSetting(Settings::InitializedKey), QString());
    }

    void storeFailureDuringCreationEndsTheProgram()
    {
        Sandbox sandbox;
        auto vault = sandbox.openVault();
        execOnVault(sandbox.vaultPath(), "delete from master");
        frmCreatePassword dialog(*vault);
        const int result = execWith(dialog, [&](QDialog* d) {
            typeBoth(d, QStringLiteral("goodpass"), QStringLiteral("goodpass"));
            clickOn(d, "cmdOk");
        });
        QCOMPARE(result, int(QDialog::Rejected));
        QCOMPARE(sandbox.ends, 1);
        QCOMPARE(sandbox.messages.size(), 1);
        QVERIFY(sandbox.messages.first().text.startsWith(
            QStringLiteral("Run-time error '%1'").arg(ErrorCode::NoCurrentRecord)));
        QCOMPARE(Settings::getSetting(Settings::InitializedKey), QString());
    }

    // ---- security check ----

    void checkComparesExactly_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("passes");
        QTest::newRow("empty") << "" << false;
        QTest::newRow("letter case") << MasterPassword.toUpper() << false;
        QTest::newRow("leading space") << QLatin1Char(' ') + MasterPassword << false;
        QTest::newRow("trailing space") << MasterPassword + QLatin1Char(' ') << false;
        QTest::newRow("exact") << MasterPassword << true;
    }

    void checkComparesExactly()
    {
        QFETCH(QString, entry);
        QFETCH(bool, passes);
        Sandbox sandbox;
        sandbox.initializeMaster(MasterPassword);
        auto vault = sandbox.openVault();
        const bool result = checkWith(*vault, [&](QDialog* prompt) {
            typeInto(prompt, "txtPassword", entry);
            clickOn(prompt, "cmdOk");
        });
        QCOMPARE(result, passes);
        // Read by nothing after the comparison, the entry is wiped.
        QCOMPARE(Module1::EnteredPassword, QString());
        QVERIFY(sandbox.messages.isEmpty());
    }

    void strippedSpacesAreNotPartOfTheMasterPassword()
    {
        Sandbox sandbox;
        auto vault = sandbox.openVault();
        frmCreatePassword dialog(*vault);
        const QString padded = QStringLiteral("  ") + MasterPassword + QLatin1Char(' ');
        execWith(dialog, [&](QDialog* d) {
            typeBoth(d, padded, padded);
            clickOn(d, "cmdOk");
        });
        auto enter = [&](const QString& entry) {
            return checkWith(*vault, [&](QDialog* prompt) {
                typeInto(prompt, "txtPassword", entry);
                QTest::keyClick(childNamed<QLineEdit>(prompt, "txtPassword"), Qt::Key_Return);
            });
        };
        QVERIFY(!enter(padded));
        QVERIFY(enter(MasterPassword));
    }

    void closedPromptFailsEvenAfterACorrectEntry_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("close box") << false;
        QTest::newRow("Escape") << true;
    }

    void closedPromptFailsEvenAfterACorrectEntry()
    {
        QFETCH(bool, escape);
        Sandbox sandbox;
        sandbox.initializeMaster(MasterPassword);
        auto vault = sandbox.openVault();
        QVERIFY(checkWith(*vault, [&](QDialog* prompt) {
            typeInto(prompt, "txtPassword", MasterPassword);
            clickOn(prompt, "cmdOk");
        }));
        QString boxOnOpening = QStringLiteral("?");
        const bool again = checkWith(*vault, [&](QDialog* prompt) {
            boxOnOpening = text(prompt, "txtPassword");
            typeInto(prompt, "txtPassword", QStringLiteral("wrongone"));
            if (escape)
                QTest::keyClick(childNamed<QLineEdit>(prompt, "txtPassword"), Qt::Key_Escape);
            else
                prompt->close();
        });
        QVERIFY(!again);
        QCOMPARE(boxOnOpening, QString());
        QCOMPARE(Module1::EnteredPassword, QString());
        QVERIFY(sandbox.messages.isEmpty());
    }

    void checkFailuresReachTheCaller()
    {
        // A fresh vault's master field holds no cipher text.
        Sandbox sandbox;
        auto vault = sandbox.openVault();
        bool raised = false;
        try {
            checkWith(*vault, [&](QDialog* prompt) {
                typeInto(prompt, "txtPassword", MasterPassword);
                clickOn(prompt, "cmdOk");
            });
        } catch (const AppError& error) {
            raised = error.code() == ErrorCode::CipherFailure;
        }
        QVERIFY(raised);
        // A closed prompt fails before the vault is read.
        QVERIFY(!checkWith(*vault, [](QDialog* prompt) { prompt->close(); }));
        QVERIFY(sandbox.messages.isEmpty());
    }

    void promptLooksAndSitsOnItsOwner()
    {
        Sandbox sandbox;
        sandbox.initializeMaster(MasterPassword);
        auto vault = sandbox.openVault();
        QWidget owner;
        owner.setGeometry(40, 30, 466, 305);
        owner.show();
        QVERIFY(QTest::qWaitForWindowExposed(&owner, LoadedMachineMs));
        QPoint offCentre;
        QStringList round;
        checkWith(
            *vault,
            [&](QDialog* prompt) {
                checkLook(prompt, QStringLiteral("Please enter your. . ."), {203, 106},
                          {childNamed<QLineEdit>(prompt, "txtPassword")});
                offCentre = prompt->frameGeometry().center() - owner.frameGeometry().center();
                QVERIFY(waitUntilActive(prompt));
                round = tabRound(3);
            },
            &owner);
        QVERIFY2(qAbs(offCentre.x()) <= 2 && qAbs(offCentre.y()) <= 2, "not centred on its owner");
        QCOMPARE(round, (QStringList{"txtPassword", "cmdOk", "txtPassword"}));
    }

    // ---- options ----

    void optionsOkWithoutTypingEnciphersAfresh()
    {
        Sandbox sandbox;
        // Not marked initialised, to see that OK leaves the mark alone.
        sandbox.openVault()->storeMasterPassword(Encrypt(MasterPassword), false);
        auto vault = sandbox.openVault();
        const QString before = vault->storedMasterPassword();
        frmChangePassword dialog(*vault);
        QString first, second;
        QStringList left;  // the boxes' buffers once the dialog closed
        const int result = execWith(dialog, [&](QDialog* d) {
            first = text(d, "txtPassword1");
            second = text(d, "txtPassword2");
            first.detach(), second.detach();  // not holding the boxes' buffers
            const auto held = boxBuffers(d, "txtPassword1") + boxBuffers(d, "txtPassword2");
            QTest::keyClick(childNamed<QLineEdit>(d, "txtPassword1"), Qt::Key_Return);
            left = textsAt(held, MasterPassword.size());
        });
        QVERIFY(!left.contains(MasterPassword));
        QCOMPARE(first, MasterPassword);
        QCOMPARE(second, MasterPassword);
        QCOMPARE(result, int(QDialog::Accepted));
        QVERIFY(sandbox.messages.isEmpty());
        auto other = sandbox.openVault();
        const QString after = other->storedMasterPassword();
        QVERIFY(after != before);
        QCOMPARE(Decrypt(after), MasterPassword);
        QVERIFY(!other->isInitialized());
        QCOMPARE(Settings::getSetting(Settings::InitializedKey), QStringLiteral("T"));
        QCOMPARE(Settings::getSetting(Settings::ExitKey), QString());
        QCOMPARE(Module1::EnteredPassword, QString());
    }

    void optionsLookAndTabOrder_data()
    {
        QTest::addColumn<QString>("exitSetting");
        QTest::addColumn<QString>("optionStop");
        QTest::newRow("none selected") << ""
                                       << "Option1";
        QTest::newRow("tray selected") << "T"
                                       << "Option1";
        QTest::newRow("end selected") << "E"
                                      << "Option2";
    }

    void optionsLookAndTabOrder()
    {
        QFETCH(QString, exitSetting);
        QFETCH(QString, optionStop);
        Sandbox sandbox;
        sandbox.initializeMaster(MasterPassword);
        if (!exitSetting.isEmpty())
            Settings::saveSetting(Settings::ExitKey, exitSetting);
        auto vault = sandbox.openVault();
        frmChangePassword dialog(*vault);
        QStringList round;
        execWith(dialog, [&](QDialog*) { round = tabRound(6); });
        checkLook(&dialog, QStringLiteral("Quillock Options"), {275, 209},
                  {childNamed<QLineEdit>(&dialog, "txtPassword1"), childNamed<QLineEdit>(&dialog, "txtPassword2")});
        QCOMPARE(childNamed<QGroupBox>(&dialog, "Frame1")->title(), QStringLiteral("Wnen exiting Quillock"));
        QCOMPARE(childNamed<QPushButton>(&dialog, "cmdExit")->text(), QStringLiteral("&Cancel"));
        QCOMPARE(round, (QStringList{"txtPassword1", "txtPassword2", "cmdOk", "cmdExit", optionStop, "txtPassword1"}));
    }

    void optionIsSavedWhenChosen_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("expected");
        QTest::newRow("mouse on the first") << "E"
                                            << "click Option1"
                                            << "T";
        QTest::newRow("mouse on the second") << ""
                                             << "click Option2"
                                             << "E";
        QTest::newRow("Space on the second") << "T"
                                             << "space Option2"
                                             << "E";
        QTest::newRow("arrow down from the first") << "T"
                                                   << "down Option1"
                                                   << "E";
        QTest::newRow("a screen reader's action on the second") << "T"
                                                                << "assistive Option2"
                                                                << "E";
    }

    void optionIsSavedWhenChosen()
    {
        QFETCH(QString, before);
        QFETCH(QString, how);
        QFETCH(QString, expected);
        Sandbox sandbox;
        sandbox.initializeMaster(MasterPassword);
        if (!before.isEmpty())
            Settings::saveSetting(Settings::ExitKey, before);
        auto vault = sandbox.openVault();
        const QString stored = vault->storedMasterPassword();
        frmChangePassword dialog(*vault);
        QString whileOpen;
        bool checked = false;
        const int result = execWith(dialog, [&](QDialog* d) {
            const QStringList step = how.split(QLatin1Char(' '));
            auto* option = childNamed<QRadioButton>(d, step[1].toLatin1().constData());
            if (step[0] == QLatin1String("click")) {
                QTest::mouseClick(option, Qt::LeftButton);
            } else if (step[0] == QLatin1String("assistive")) {
                QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(option);
                QVERIFY(accessible && accessible->actionInterface());
                const QStringList actions = accessible->actionInterface()->actionNames();
                accessible->actionInterface()->doAction(actions.contains(QAccessibleActionInterface::toggleAction())
                                                            ? QAccessibleActionInterface::toggleAction()
                                                            : QAccessibleActionInterface::pressAction());
            } else {
                option->setFocus();
                QTest::keyClick(option, step[0] == QLatin1String("space") ? Qt::Key_Space : Qt::Key_Down);
            }
            whileOpen = Settings::getSetting(Settings::ExitKey);
            checked = childNamed<QRadioButton>(d, expected == QLatin1String("T") ? "Option1" : "Option2")->isChecked();
            // Typed passwords do not go with the option.
            typeBoth(d, QStringLiteral("Newpass1"), QStringLiteral("Newpass1"));
            clickOn(d, "cmdExit");
        });
        QCOMPARE(whileOpen, expected);
        QVERIFY(checked);
        QCOMPARE(result, int(QDialog::Rejected));
        QCOMPARE(Settings::getSetting(Settings::ExitKey), expected);
        QCOMPARE(sandbox.openVault()->storedMasterPassword(), stored);
        QCOMPARE(Settings::getSetting(Settings::InitializedKey), QString());
    }

    void openingSelectsOnlyExactValuesAndWritesNothing_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<bool>("absent");
        QTest::addColumn<bool>("first");
        QTest::addColumn<bool>("second");
        QTest::newRow("T") << "T" << false << true << false;
        QTest::newRow("E") << "E" << false << false << true;
        QTest::newRow("lower t") << "t" << false << false << false;
        QTest::newRow("lower e") << "e" << false << false << false;
        QTest::newRow("space E") << " E" << false << false << false;
        QTest::newRow("absent") << "" << true << false << false;
    }

    void openingSelectsOnlyExactValuesAndWritesNothing()
    {
        QFETCH(QString, setting);
        QFETCH(bool, absent);
        QFETCH(bool, first);
        QFETCH(bool, second);
        Sandbox sandbox;
        sandbox.initializeMaster(MasterPassword);
        Settings::saveSetting(absent ? QStringLiteral("Other") : Settings::ExitKey, setting);
        // A comment line that any rewrite of the file would drop.
        const QString path = settingsFile();
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::Append));
            file.write("; untouched\n");
        }
        const QByteArray contents = readFile(path);
        auto vault = sandbox.openVault();
        frmChangePassword dialog(*vault);
        bool firstChecked = !first, secondChecked = !second;
        const int result = execWith(dialog, [&](QDialog* d) {
            firstChecked = childNamed<QRadioButton>(d, "Option1")->isChecked();
            secondChecked = childNamed<QRadioButton>(d, "Option2")->isChecked();
            clickOn(d, "cmdExit");
        });
        QCOMPARE(firstChecked, first);
        QCOMPARE(secondChecked, second);
        QCOMPARE(result, int(QDialog::Rejected));
        QCOMPARE(readFile(path), contents);
        QCOMPARE(Settings::getSetting(Settings::ExitKey), absent ? QString() : setting);
    }

    void clearedBoxIsRefused_data()
    {
        QTest::addColumn<QByteArray>("cleared");
        QTest::newRow("first") << QByteArray("txtPassword1");
        QTest::newRow("second") << QByteArray("txtPassword2");
    }

    void clearedBoxIsRefused()
    {
        QFETCH(QByteArray, cleared);
        Sandbox sandbox;
        sandbox.initializeMaster(MasterPassword);
        auto vault = sandbox.openVault();
        const QString stored = vault->storedMasterPassword();
        frmChangePassword dialog(*vault);
        AfterOk refused;
        QString between;
        bool rejectedAgain = false;
        const int result = execWith(dialog, [&](QDialog* d) {
            typeInto(d, cleared.constData(), QString());
            refused = clickOk(d);
            between = sandbox.openVault()->storedMasterPassword();
            // The old password now has to be typed twice, like a new one.
            typeInto(d, "txtPassword1", MasterPassword);
            clickOn(d, "cmdOk");
            rejectedAgain = d->isVisible() && sandbox.messages.size() == 2;
            // Outer spaces are no part of the new password.
            typeBoth(d, QStringLiteral("  Newpass1 "), QStringLiteral("  Newpass1 "));
            clickOn(d, "cmdOk");
        });
        QCOMPARE(sandbox.messages.size(), 2);
        sandbox.messages.removeLast();
        QVERIFY(ruleMessageShown(sandbox));
        verifyRefused(refused);
        QCOMPARE(between, stored);
        QVERIFY(rejectedAgain);
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(Decrypt(sandbox.openVault()->storedMasterPassword()), QStringLiteral("Newpass1"));
        // The new password is the one the check asks for from now on.
        QVERIFY(checkWith(*vault, [](QDialog* prompt) {
            typeInto(prompt, "txtPassword", QStringLiteral("Newpass1"));
            clickOn(prompt, "cmdOk");
        }));
    }

    void cancellingWritesNoPassword_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Cancel") << "cancel";
        QTest::newRow("close box") << "close";
        QTest::newRow("Escape") << "escape";
    }

    void cancellingWritesNoPassword()
    {
        QFETCH(QString, how);
        Sandbox sandbox;
        sandbox.initializeMaster(MasterPassword);
        auto vault = sandbox.openVault();
        const QString stored = vault->storedMasterPassword();
        frmChangePassword dialog(*vault);
        QStringList left;  // the boxes' buffers once the dialog closed
        const int result = execWith(dialog, [&](QDialog* d) {
            typeBoth(d, QStringLiteral("Another1"), QStringLiteral("Another1"));
            const auto held = boxBuffers(d, "txtPassword1") + boxBuffers(d, "txtPassword2");
            if (how == QLatin1String("cancel"))
                clickOn(d, "cmdExit");
            else if (how == QLatin1String("close"))
                d->close();
            else
                QTest::keyClick(childNamed<QLineEdit>(d, "txtPassword2"), Qt::Key_Escape);
            left = textsAt(held, 8);
        });
        QVERIFY(!left.contains(QStringLiteral("Another1")));
        QCOMPARE(result, int(QDialog::Rejected));
        QCOMPARE(sandbox.openVault()->storedMasterPassword(), stored);
        QCOMPARE(Settings::getSetting(Settings::InitializedKey), QString());
        QCOMPARE(Settings::getSetting(Settings::ExitKey), QString());
        QCOMPARE(sandbox.ends, 0);
        QVERIFY(sandbox.messages.isEmpty());
    }

    // Qt 6 keeps room before a text edited at its start, and capacity()
    // counts it: each password box is edited there, then wiped as its window
    // wipes it (the sanitizers see a wipe that runs past the buffer).
    void boxesEditedAtTheirStartAreWiped_data()
    {
        QTest::addColumn<QByteArray>("command");  // none: the first run
        QTest::addColumn<bool>("deleting");  // else the first letter typed last
        QTest::addColumn<bool>("cancel");  // the last window left without OK
        const std::pair<const char*, const char*> commands[] = {{"first run", ""},       {"reveal", "cmdReveal"},
                                                                {"edit", "cmdEdit"},     {"options", "FlatBttn1"},
                                                                {"report", "FlatBttn2"}, {"add", "cmdNewAccount"}};
        for (const bool deleting : {false, true}) {
            const char* how = deleting ? "Delete at the start" : "Home, a letter";
            for (const auto& [name, command] : commands)
                QTest::addRow("%s, %s", name, how) << QByteArray(command) << deleting << false;
            QTest::addRow("prompt closed, %s", how) << QByteArray("cmdReveal") << deleting << true;
            QTest::addRow("edit cancelled, %s", how) << QByteArray("cmdEdit") << deleting << true;
        }
    }

    void boxesEditedAtTheirStartAreWiped()
    {
        QFETCH(QByteArray, command);
        QFETCH(bool, deleting);
        QFETCH(bool, cancel);
        const QString chosen = QStringLiteral("newmaster1"), typed = QStringLiteral("hunter22");
        MainWindowFixture f;
        f.sandbox.addAccount(QStringLiteral("site"), {}, QStringLiteral("old"));
        std::function<void(QWidget*)> answer = [&](QWidget* window) {
            const bool prompt = qobject_cast<frmMasterPassword*>(window);
            const bool account = window->findChild<QLineEdit*>(QStringLiteral("txtName"));
            const QString text = prompt ? MasterPassword : account ? typed : chosen;
            QLineEdit* box = nullptr;
            const QRegularExpression passwordBox(QStringLiteral("^txtPassword"));
            for (QLineEdit* each : window->findChildren<QLineEdit*>(passwordBox)) {
                box = each;
                box->setFocus();
                box->clear();
                QTest::keyClicks(box, deleting ? QStringLiteral("#!") + text : text.mid(1));
                QTest::keyClick(box, Qt::Key_Home);
                QTest::keyClicks(box, deleting ? QString() : text.left(1));
                for (int i = 0; deleting && i < 2; ++i)
                    QTest::keyClick(box, Qt::Key_Delete);
            }
            if (account)
                typeInto(window, "txtName", QStringLiteral("site"));
            const bool last = !prompt || command == "cmdReveal" || command == "FlatBttn2";
            if (last && cancel) {
                QTest::keyClick(box, Qt::Key_Escape);
                return;
            }
            if (!last)
                whenModalOpens(answer);
            clickOn(window, "cmdOk");
        };
        if (command.isEmpty()) {
            whenModalOpens(answer);
            QVERIFY(f.open());
        } else {
            f.start();
            f.pick(0);
            whenModalOpens(answer);
            f.click(command.constData());
        }
        QCOMPARE(f.sandbox.messages.size(), cancel && command == "cmdReveal" ? 1 : 0);
        const bool master = command.isEmpty() || command == "FlatBttn1";
        QCOMPARE(Decrypt(f.sandbox.openVault()->storedMasterPassword()), master ? chosen : MasterPassword);
        const bool stored = !cancel && (command == "cmdEdit" || command == "cmdNewAccount");
        QCOMPARE(plainAccounts(*f.sandbox.openVault()).last().password, stored ? typed : QStringLiteral("old"));
    }

    void unsavableOptionEndsTheProgram()
    {
        Sandbox sandbox;
        sandbox.initializeMaster(MasterPassword);
        Settings::saveSetting(Settings::ExitKey, QStringLiteral("T"));
        const QString path = settingsFile();
        const QString folder = QFileInfo(path).absolutePath();
        const auto folderPermissions = QFile::permissions(folder);
        const QByteArray contents = readFile(path);
        auto vault = sandbox.openVault();
        frmChangePassword dialog(*vault);
        int result = 0;
        QByteArray afterwards;
        {
            ObeyFilePermissions obey;
            QFile::setPermissions(path, QFile::ReadOwner);
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
            result = execWith(dialog, [&](QDialog* d) { clickOn(d, "Option2"); });
            afterwards = readFile(path);
            QFile::setPermissions(folder, folderPermissions);
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        }
        QCOMPARE(result, int(QDialog::Rejected));
        QCOMPARE(sandbox.ends, 1);
        QCOMPARE(sandbox.messages.size(), 1);
        QVERIFY(sandbox.messages.first().text.startsWith(QStringLiteral("Run-time error")));
        QCOMPARE(afterwards, contents);
    }
};

QUILLOCK_TEST_MAIN(TestSecurity)
#include "tst_security.moc"
