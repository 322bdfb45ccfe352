#include "testsupport.h"

#include "accounts/frmEditAccount.h"
#include "shared/desktopopen.h"
#include "shared/fonts.h"
#include "shared/module1.h"
#include "shared/programend.h"
#include "vault/apperror.h"
#include "vault/fileops.h"
#include "vault/stringcipher.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QSettings>
#include <QTimer>
#include <cstdlib>
#include <deque>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

void PrepareTestProcess()
{
    static QTemporaryDir settings;
    qputenv("XDG_CONFIG_HOME", settings.path().toUtf8());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Fonts::InstallSubstitutions();
}

namespace {

// A fresh vault as quillock-makevault writes it, made once per test program.
const QByteArray& FreshVault()
{
    static const QByteArray bytes = [] {
        const QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("data.mdb"));
        QProcess tool;
        tool.start(QStringLiteral(QUILLOCK_TEST_MAKEVAULT), {path});
        if (!tool.waitForFinished(30000) || tool.exitCode() != 0)
            qFatal("could not make a fresh vault: %s", tool.readAllStandardError().constData());
        const QByteArray made = ReadFile(path);
        if (made.isEmpty())
            qFatal("could not read the fresh vault %s", qPrintable(path));
        return made;
    }();
    return bytes;
}

}  // namespace

Sandbox::Sandbox()
{
    // Born 0600, as the tool makes it.
    FileOps::replaceFile(vaultPath(), FreshVault());

    Module1::SetApplicationFolder(app_.path());
    Module1::Reset();
    oldWorkFolder_ = QDir::currentPath();
    QDir::setCurrent(work_.path());
    QSettings(Module1::ProgramTitle, Module1::ProgramTitle).clear();

    MessageBox::setResponder([this](const MessageBox::Request& request) {
        messages.append(request);
        return answers.isEmpty() ? QMessageBox::Ok : answers.takeFirst();
    });
    ProgramEnd::setInterceptor([this] { ++ends; });
    DesktopOpen::setOpener([this](const QString& address) { opened.append(address); });
}

Sandbox::~Sandbox()
{
    CallOffModalActions();
    // Windows a test left open must not outlive the folders they use.
    for (QWidget* window : QApplication::topLevelWidgets())
        delete window;
    QDir::setCurrent(oldWorkFolder_);
    MessageBox::setResponder({});
    ProgramEnd::setInterceptor({});
    DesktopOpen::setOpener({});
    QSettings(Module1::ProgramTitle, Module1::ProgramTitle).clear();
}

std::unique_ptr<VaultStore> Sandbox::openVault() const
{
    return VaultStore::open(vaultPath());
}

void Sandbox::addAccount(const QString& name, const QString& username, const QString& password,
                         const QString& url, const QString& hint, const QString& notes)
{
    openVault()->appendAccount({name, Encrypt(username), Encrypt(password), url, hint, notes});
}

void Sandbox::initializeMaster(const QString& masterPassword)
{
    openVault()->storeMasterPassword(Encrypt(masterPassword), true);
}

bool EditListed(VaultStore& vault, qint64 position)
{
    const std::vector<AccountEntry> entries = vault.accountList();
    std::optional<qint64> rowid;
    if (position >= 0 && position < qint64(entries.size()))
        rowid = entries[size_t(position)].rowid;
    return ShowEditAccount(nullptr, vault, position, rowid);
}

namespace {

class ModalWatcher : public QObject {
public:
    static ModalWatcher& instance()
    {
        static ModalWatcher* watcher = [] {
            auto* created = new ModalWatcher;
            qApp->installEventFilter(created);
            return created;
        }();
        return *watcher;
    }
    std::deque<std::function<void(QWidget*)>> waiting;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::Show || waiting.empty() || !watched->isWidgetType())
            return false;
        auto* window = static_cast<QWidget*>(watched);
        if (!window->isWindow() || !window->isModal())
            return false;
        QPointer<QWidget> dialog(window);
        QTimer::singleShot(0, window, [dialog, action = std::move(waiting.front())] {
            // Keys and shortcuts reach only the active window.
            if (dialog && dialog->isVisible())
                WaitUntilActive(dialog);
            if (dialog && dialog->isVisible())
                action(dialog);
        });
        waiting.pop_front();
        return false;
    }
};

}  // namespace

void WhenModalOpens(std::function<void(QWidget*)> action)
{
    ModalWatcher::instance().waiting.push_back(std::move(action));
}

void CallOffModalActions()
{
    ModalWatcher::instance().waiting.clear();
}

bool WaitUntilActive(QWidget* window)
{
    QPointer<QWidget> watched(window);
    return QTest::qWaitFor([watched] { return !watched || watched->isActiveWindow(); }, LoadedMachineMs)
           && watched;
}

void TypeInto(QWidget* parent, const char* name, const QString& text)
{
    QWidget* box = Child<QWidget>(parent, name);
    box->setFocus();
    if (auto* line = qobject_cast<QLineEdit*>(box))
        line->clear();
    else if (auto* plain = qobject_cast<QPlainTextEdit*>(box))
        plain->clear();
    QTest::keyClicks(box, text);
}

namespace {
constexpr unsigned FileOverrides = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER);

bool capabilities(bool set, __user_cap_data_struct* data)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(set ? SYS_capset : SYS_capget, &header, data) == 0;
}
}  // namespace

ObeyFilePermissions::ObeyFilePermissions()
{
    __user_cap_data_struct data[2] = {};
    if (!capabilities(false, data))
        return;
    saved_[0] = data[0].effective;
    saved_[1] = data[1].effective;
    data[0].effective &= ~FileOverrides;
    changed_ = capabilities(true, data);
}

ObeyFilePermissions::~ObeyFilePermissions()
{
    if (!changed_)
        return;
    __user_cap_data_struct data[2] = {};
    capabilities(false, data);
    data[0].effective = saved_[0];
    data[1].effective = saved_[1];
    capabilities(true, data);
}

QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteFile(const QString& path, const QByteArray& bytes, unsigned mode)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    file.close();
    ::chmod(QFile::encodeName(path).constData(), mode);
}

unsigned long InodeOf(const QString& path)
{
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_ino;
}

int ErrorCodeOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const AppError& error) {
        return error.code();
    }
    return 0;
}
