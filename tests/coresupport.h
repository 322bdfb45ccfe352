#pragma once

#include "vault/vaultstore.h"

#include <QCoreApplication>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>

// What every test of the core needs: a temporary application folder holding
// a fresh vault, and a temporary working folder that is the current one.
// Nothing here knows a window: the core's test programs link only the core.
class CoreSandbox {
public:
    CoreSandbox();
    ~CoreSandbox();
    CoreSandbox(const CoreSandbox&) = delete;
    CoreSandbox& operator=(const CoreSandbox&) = delete;

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

// How long a test waits for the window system or another process on a
// machine running many tests at once: long, since only a failure ever waits
// that long.
inline constexpr int LoadedMachineMs = 120000;

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
// Teaches a connection the account order (UNICODE_NOCASE): names without
// regard to case, for all of Unicode.
void registerAccountOrder(Database& db);
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

// Sets up the temporary settings folder before the application.
void prepareCoreTestProcess();

#define QUILLOCK_CORE_TEST_MAIN(TestClass)                                                                             \
    int main(int argc, char** argv)                                                                                    \
    {                                                                                                                  \
        prepareCoreTestProcess();                                                                                      \
        QCoreApplication app(argc, argv);                                                                              \
        TestClass test;                                                                                                \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
