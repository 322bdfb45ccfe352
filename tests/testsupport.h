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
QByteArray ReadFile(const QString& path);
void WriteFile(const QString& path, const QByteArray& bytes, unsigned mode = 0644);
unsigned long InodeOf(const QString& path);
// The code of the AppError `action` raises; 0 when it raises none.
int ErrorCodeOf(const std::function<void()>& action);

// The edit command as the main window runs it, on the entry at the 0-based
// `position` of a list built now. True when the list must be rebuilt.
bool EditListed(VaultStore& vault, qint64 position);

// Runs `action` on the next modal dialog to show, once its own event loop
// runs; each dialog goes to the oldest waiting action. Nothing depends on
// how soon a dialog shows. An action whose dialog never came must not take
// a later command's dialog for its own: CallOffModalActions() drops those
// still waiting once the command that was to open them has returned, and
// a Sandbox drops them when it goes.
void WhenModalOpens(std::function<void(QWidget*)> action);
void CallOffModalActions();
// How long a test waits for the window system on a machine running many
// tests at once: long, since only a failure ever waits that long.
inline constexpr int LoadedMachineMs = 120000;
// Waits until `window` is the active window.
bool WaitUntilActive(QWidget* window);

// Types into a text box of a dialog: clears it first.
void TypeInto(QWidget* parent, const char* name, const QString& text);

template <class T>
T* Child(QObject* parent, const char* name)
{
    T* found = parent->findChild<T*>(QString::fromLatin1(name));
    if (!found)
        qFatal("no control named %s", name);
    return found;
}

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
void PrepareTestProcess();

#define QUILLOCK_TEST_MAIN(TestClass)                                                                      \
    int main(int argc, char** argv)                                                                        \
    {                                                                                                      \
        PrepareTestProcess();                                                                              \
        QApplication app(argc, argv);                                                                      \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                           \
        TestClass test;                                                                                    \
        QTEST_SET_MAIN_SOURCE_PATH                                                                         \
        return QTest::qExec(&test, argc, argv);                                                            \
    }
