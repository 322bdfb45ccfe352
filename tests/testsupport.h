#pragma once

#include "shared/messagebox.h"
#include "vault/vaultstore.h"

#include <QApplication>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <functional>
#include <memory>

class QComboBox;
class QDialog;
class frmMain;

// What every test needs: a temporary application folder holding a fresh
// vault, a temporary working folder, empty settings, fresh program-wide
// values, and the message box, end and desktop seams answered and recorded.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    QString appFolder() const { return app_.path(); }
    QString workFolder() const { return work_.path(); }
    QString vaultPath() const { return app_.filePath(QStringLiteral("data.mdb")); }

    // A second connection on the vault, as another program would have.
    std::unique_ptr<VaultStore> openVault() const;
    // Stores an account through the store and the cipher.
    void addAccount(const QString& name, const QString& username = {}, const QString& password = {},
                    const QString& url = QStringLiteral("http://"), const QString& hint = {},
                    const QString& notes = {});
    void initializeMaster(const QString& masterPassword);

    // Message boxes shown so far, and the answers the next ones give
    // (Ok when none is queued).
    QList<MessageBox::Request> messages;
    QList<QMessageBox::StandardButton> answers;
    int ends = 0;
    QStringList opened;  // addresses handed to the desktop

private:
    QTemporaryDir app_;
    QTemporaryDir work_;
    QString oldWorkFolder_;
};

// Small file helpers; a file that cannot be read reads as empty.
QByteArray readFile(const QString& path);
void writeFile(const QString& path, const QByteArray& bytes, unsigned mode = 0644);
unsigned long inodeOf(const QString& path);
// The code of the AppError `action` raises; 0 when it raises none.
int errorCodeOf(const std::function<void()>& action);

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
// How long a test waits for the window system on a machine running many
// tests at once: long, since only a failure ever waits that long.
inline constexpr int LoadedMachineMs = 120000;
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

// The master password of every test to which its value does not matter.
inline const QString MasterPassword = QStringLiteral("opensesame");
// A character outside the basic plane: two UTF-16 units.
inline const QString Emoji = QStringLiteral("😀");

// Runs one of the command-line tools (QUILLOCK_TEST_IMPORT, ...) with
// `input` on its standard input; its exit status, -1 when it died of a signal.
int runTool(const char* tool, const QStringList& args, const QByteArray& input = {}, QString* out = nullptr,
            QString* err = nullptr);

// Runs SQL on the vault through a connection of its own, as another copy of
// the program would.
void execOnVault(const QString& vaultPath, const char* sql);
// Stores `count` accounts in one transaction, username and password
// enciphered; `plain` gives the fields of the i-th.
void addAccounts(VaultStore& vault, int count, const std::function<AccountFields(int)>& plain);
// The accounts in list order, username and password deciphered.
QList<AccountFields> plainAccounts(VaultStore& vault);
// The account names in list order.
QStringList accountNames(VaultStore& vault);
// Everything in a folder, hidden entries and folders too, by name.
QStringList folderEntries(const QString& folder);
// Permission bits of a file; 0 when it cannot be read.
unsigned modeOf(const QString& path);

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

// While alive, the process obeys file permissions even when run as root,
// so read-only folders really refuse writes.
class ObeyFilePermissions {
public:
    ObeyFilePermissions();
    ~ObeyFilePermissions();

private:
    unsigned saved_[2] = {0, 0};
    bool changed_ = false;
};

// Sets up the headless, temporary settings folder before the application.
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
