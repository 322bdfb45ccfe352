#pragma once

#include "coresupport.h"
#include "shared/messagebox.h"

#include <QApplication>
#include <QWidget>

class QComboBox;
class QDialog;
class frmMain;

// What every test of the windows needs: a CoreSandbox with empty settings,
// fresh program-wide values, and the message box, end and desktop seams
// answered and recorded.
class Sandbox : public CoreSandbox {
public:
    Sandbox();
    ~Sandbox();

    // Message boxes shown so far, and the answers the next ones give
    // (Ok when none is queued).
    QList<MessageBox::Request> messages;
    QList<QMessageBox::StandardButton> answers;
    int ends = 0;
    QStringList opened;  // addresses handed to the desktop
};

// The edit command as the main window runs it, on the entry at the 0-based
// `position` of a list built now. True when the list must be rebuilt. A
// dialog it did not open by its end never comes.
bool editListed(VaultStore& vault, qint64 position);

// Runs `action` on the next modal dialog to show, once its own event loop
// runs; each dialog goes to the oldest waiting action. Nothing depends on
// how soon a dialog shows. An action whose dialog never came must not take
// a later command's dialog for its own: callOffModalActions() drops those
// still waiting once the command that was to open them has returned, and
// a Sandbox drops them when it goes.
void whenModalOpens(std::function<void(QWidget*)> action);
void callOffModalActions();
// Waits until `window` is the active window.
bool waitUntilActive(QWidget* window);

// Clicks the control named `name` inside `parent`.
void clickOn(QWidget* parent, const char* name);
// Types into a text box of a dialog: clears it first.
void typeInto(QWidget* parent, const char* name, const QString& text);

template <class T> T* childNamed(QObject* parent, const char* name)
{
    T* found = parent->findChild<T*>(QString::fromLatin1(name));
    if (!found)
        qFatal("no control named %s", name);
    return found;
}

// The buffers of a one-line box's text and of the text it shows, and what
// such buffers hold now, read through the kernel: the box may have freed them.
QList<const QChar*> boxBuffers(QWidget* parent, const char* name);
QStringList textsAt(const QList<const QChar*>& buffers, qsizetype size);

// Hands text to a box the way a keyboard ("key": the pair in one key
// event), an input method ("input method") or Ctrl+V ("paste") does.
void deliver(QWidget* box, const QString& how, const QString& text);

// The exec() result of a dialog that a test's steps left open.
inline constexpr int LeftOpen = 77;
// WhenModalOpens for a dialog: a dialog the steps leave open is closed with
// LeftOpen, so a failed step can never hang the test.
void driveNextDialog(std::function<void(QDialog*)> steps);
// Runs the dialog modally, as the program does, with `steps` once it shows.
int execWith(QDialog& dialog, std::function<void(QDialog*)> steps);
// Answers the master password prompt that opens next, then hands the
// dialog after it (if the command opens one) to `then`.
void answerMasterPrompt(const QString& entry, std::function<void(QWidget*)> then = {});

// The boxes of the add and edit dialogs, filled from or read as plain fields.
void fillBoxes(QWidget* dialog, const AccountFields& plain);
AccountFields boxContents(QWidget* dialog);

// After a start-up that failed: the program ended after one message, which
// begins "error at formload".
void verifyStartUpEnded(const Sandbox& sandbox);

// The main window started over a sandbox as the program starts it, and what
// a test does to it as the user would.
struct MainWindowFixture {
    MainWindowFixture();
    ~MainWindowFixture();
    Sandbox sandbox;
    std::unique_ptr<frmMain> window;  // goes before the sandbox

    // Stores the master password, then starts the window; it must start.
    void start();
    // Starts a fresh window over the vault as it is and shows it; false when
    // start-up failed (the window is then not shown).
    bool open();
    // open() as when the user starts the program again after it ended:
    // messages and ends are counted afresh.
    bool openAgain();
    QString report() const;
    QComboBox* list() const;
    QStringList listed() const;
    void pick(int index);
    // The command runs to its end inside the click; a dialog it did not
    // open by then never comes.
    void click(const char* name);
    QString label(const char* name) const;
    bool enabled(const char* name) const;
    // Adds an account through the add dialog of cmdNewAccount.
    void addThroughDialog(const AccountFields& plain);
};

// Sets up the headless, temporary settings folder and the fonts before the
// application.
void prepareTestProcess();

#define QUILLOCK_TEST_MAIN(TestClass)                                                                                  \
    int main(int argc, char** argv)                                                                                    \
    {                                                                                                                  \
        prepareTestProcess();                                                                                          \
        QApplication app(argc, argv);                                                                                  \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                                       \
        TestClass test;                                                                                                \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
