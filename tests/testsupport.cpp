#include "testsupport.h"

#include "accounts/clipboard.h"
#include "accounts/frmEditAccount.h"
#include "accounts/frmMain.h"
#include "shared/desktopopen.h"
#include "shared/fonts.h"
#include "shared/module1.h"
#include "shared/programend.h"
#include "vault/apperror.h"
#include "vault/fileops.h"
#include "vault/stringcipher.h"

#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <cstdlib>
#include <deque>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

void prepareTestProcess()
{
    static QTemporaryDir settings;
    qputenv("XDG_CONFIG_HOME", settings.path().toUtf8());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Fonts::installSubstitutions();
}

namespace {

// A fresh vault as quillock-makevault writes it, made once per test program.
const QByteArray& freshVault()
{
    static const QByteArray bytes = [] {
        const QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("data.mdb"));
        QProcess tool;
        tool.start(QStringLiteral(QUILLOCK_TEST_MAKEVAULT), {path});
        if (!tool.waitForFinished(30000) || tool.exitCode() != 0)
            qFatal("could not make a fresh vault: %s", tool.readAllStandardError().constData());
        const QByteArray made = readFile(path);
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
    FileOps::writeFile(vaultPath(), FileOps::Placement::Replace, freshVault());

    Module1::setApplicationFolder(app_.path());
    Module1::reset();
    Module1::clearClipboardSecret();
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
    callOffModalActions();
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

void Sandbox::addAccount(const QString& name, const QString& username, const QString& password, const QString& url,
                         const QString& hint, const QString& notes)
{
    openVault()->appendAccount({name, Encrypt(username), Encrypt(password), url, hint, notes});
}

void Sandbox::initializeMaster(const QString& masterPassword)
{
    openVault()->storeMasterPassword(Encrypt(masterPassword), true);
}

bool editListed(VaultStore& vault, qint64 position)
{
    const std::vector<AccountEntry> entries = vault.accountList();
    std::optional<qint64> rowid;
    if (position >= 0 && position < qint64(entries.size()))
        rowid = entries[size_t(position)].rowid;
    const bool changed = ShowEditAccount(nullptr, vault, position, rowid);
    callOffModalActions();
    return changed;
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
                waitUntilActive(dialog);
            if (dialog && dialog->isVisible())
                action(dialog);
        });
        waiting.pop_front();
        return false;
    }
};

}  // namespace

void whenModalOpens(std::function<void(QWidget*)> action)
{
    ModalWatcher::instance().waiting.push_back(std::move(action));
}

void callOffModalActions()
{
    ModalWatcher::instance().waiting.clear();
}

bool waitUntilActive(QWidget* window)
{
    QPointer<QWidget> watched(window);
    return QTest::qWaitFor([watched] { return !watched || watched->isActiveWindow(); }, LoadedMachineMs) && watched;
}

void clickOn(QWidget* parent, const char* name)
{
    QTest::mouseClick(childNamed<QWidget>(parent, name), Qt::LeftButton);
}

void typeInto(QWidget* parent, const char* name, const QString& text)
{
    QWidget* box = childNamed<QWidget>(parent, name);
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

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes, unsigned mode)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    file.close();
    ::chmod(QFile::encodeName(path).constData(), mode);
}

unsigned long inodeOf(const QString& path)
{
    struct stat info { };
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_ino;
}

int errorCodeOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const AppError& error) {
        return error.code();
    }
    return 0;
}

void execOnVault(const QString& vaultPath, const char* sql)
{
    Database raw;
    raw.open(vaultPath, VaultStore::DatabasePassword);
    raw.exec(sql);
}

void addAccounts(VaultStore& vault, int count, const std::function<AccountFields(int)>& plain)
{
    int i = 0;
    vault.appendAccounts({}, [&](AccountFields& fields) {
        if (i == count)
            return false;
        fields = plain(i++);
        fields.username = Encrypt(fields.username);
        fields.password = Encrypt(fields.password);
        return true;
    });
}

QList<AccountFields> plainAccounts(VaultStore& vault)
{
    QList<AccountFields> accounts;
    vault.forEachAccount([&](const AccountRow& row) {
        AccountFields plain = row.fields;
        plain.username = Decrypt(row.fields.username);
        plain.password = Decrypt(row.fields.password);
        accounts.append(plain);
    });
    return accounts;
}

QStringList accountNames(VaultStore& vault)
{
    QStringList names;
    for (const AccountEntry& entry : vault.accountList())
        names << entry.account;
    return names;
}

QStringList folderEntries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

unsigned modeOf(const QString& path)
{
    struct stat info { };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

QList<const QChar*> boxBuffers(QWidget* parent, const char* name)
{
    const auto* box = childNamed<QLineEdit>(parent, name);
    return {box->text().constData(), box->displayText().constData()};
}

QStringList textsAt(const QList<const QChar*>& buffers, qsizetype size)
{
    QFile memory(QStringLiteral("/proc/self/mem"));
    if (!memory.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        qFatal("/proc/self/mem cannot be read");
    QStringList texts;
    for (const QChar* at : buffers) {
        const QByteArray bytes = memory.seek(qint64(quintptr(at))) ? memory.read(size * 2) : QByteArray();
        texts.append(QString(reinterpret_cast<const QChar*>(bytes.constData()), bytes.size() / 2));
    }
    return texts;
}

void deliver(QWidget* box, const QString& how, const QString& text)
{
    box->setFocus();
    if (how == QLatin1String("key")) {
        QTest::sendKeyEvent(QTest::Click, box, Qt::Key_unknown, text, Qt::NoModifier);
    } else if (how == QLatin1String("input method")) {
        QInputMethodEvent commit;
        commit.setCommitString(text);
        QApplication::sendEvent(box, &commit);
    } else {
        QGuiApplication::clipboard()->setText(text);
        QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
    }
}

void driveNextDialog(std::function<void(QDialog*)> steps)
{
    whenModalOpens([steps = std::move(steps)](QWidget* window) {
        QPointer<QDialog> dialog(qobject_cast<QDialog*>(window));
        QVERIFY2(dialog, "the modal window is no dialog");
        // Keys and shortcuts reach only the active window.
        QVERIFY2(dialog->isActiveWindow(), "the dialog never became active");
        steps(dialog);
        if (dialog && dialog->isVisible())
            dialog->done(LeftOpen);
    });
}

int execWith(QDialog& dialog, std::function<void(QDialog*)> steps)
{
    driveNextDialog(std::move(steps));
    return dialog.exec();
}

void answerMasterPrompt(const QString& entry, std::function<void(QWidget*)> then)
{
    whenModalOpens([entry, then](QWidget* prompt) {
        QCOMPARE(prompt->windowTitle(), QStringLiteral("Please enter your. . ."));
        typeInto(prompt, "txtPassword", entry);
        clickOn(prompt, "cmdOk");
        if (then)
            whenModalOpens(then);
    });
}

void fillBoxes(QWidget* dialog, const AccountFields& plain)
{
    childNamed<QLineEdit>(dialog, "txtName")->setText(plain.account);
    childNamed<QLineEdit>(dialog, "txtUsername")->setText(plain.username);
    childNamed<QLineEdit>(dialog, "txtPassword")->setText(plain.password);
    childNamed<QLineEdit>(dialog, "txtURL")->setText(plain.url);
    childNamed<QPlainTextEdit>(dialog, "txtHint")->setPlainText(plain.hint);
    childNamed<QPlainTextEdit>(dialog, "txtNotes")->setPlainText(plain.notes);
}

AccountFields boxContents(QWidget* dialog)
{
    return {childNamed<QLineEdit>(dialog, "txtName")->text(),
            childNamed<QLineEdit>(dialog, "txtUsername")->text(),
            childNamed<QLineEdit>(dialog, "txtPassword")->text(),
            childNamed<QLineEdit>(dialog, "txtURL")->text(),
            AccountDialog::boxText(childNamed<QPlainTextEdit>(dialog, "txtHint")),
            AccountDialog::boxText(childNamed<QPlainTextEdit>(dialog, "txtNotes"))};
}

void verifyStartUpEnded(const Sandbox& sandbox)
{
    QCOMPARE(sandbox.ends, 1);
    QCOMPARE(sandbox.messages.size(), 1);
    const QString text = sandbox.messages.first().text;
    QVERIFY2(text.startsWith(QStringLiteral("error at formload")), qPrintable(text));
}

MainWindowFixture::MainWindowFixture() = default;
MainWindowFixture::~MainWindowFixture() = default;

void MainWindowFixture::start()
{
    sandbox.initializeMaster(MasterPassword);
    QVERIFY(open());
}

bool MainWindowFixture::open()
{
    // The window before goes first, as when the program is started again.
    window.reset();
    window = std::make_unique<frmMain>();
    if (!window->load())
        return false;
    window->show();
    return true;
}

bool MainWindowFixture::openAgain()
{
    sandbox.messages.clear();
    sandbox.ends = 0;
    // Setting the seam again also forgets that the program ended.
    ProgramEnd::setInterceptor([this] { ++sandbox.ends; });
    return open();
}

QString MainWindowFixture::report() const
{
    return sandbox.appFolder() + QStringLiteral("/report.htm");
}

QComboBox* MainWindowFixture::list() const
{
    return childNamed<QComboBox>(window.get(), "cboAccount");
}

QStringList MainWindowFixture::listed() const
{
    QStringList names;
    for (int i = 0; i < list()->count(); ++i)
        names << list()->itemText(i);
    return names;
}

void MainWindowFixture::pick(int index)
{
    list()->setCurrentIndex(index);
    emit list()->activated(index);
}

void MainWindowFixture::click(const char* name)
{
    clickOn(window.get(), name);
    callOffModalActions();
}

QString MainWindowFixture::label(const char* name) const
{
    return childNamed<QLabel>(window.get(), name)->text();
}

bool MainWindowFixture::enabled(const char* name) const
{
    return childNamed<QPushButton>(window.get(), name)->isEnabled();
}

void MainWindowFixture::addThroughDialog(const AccountFields& plain)
{
    driveNextDialog([plain](QDialog* dialog) {
        fillBoxes(dialog, plain);
        clickOn(dialog, "cmdOk");
    });
    click("cmdNewAccount");
}

int runTool(const char* tool, const QStringList& args, const QByteArray& input, QString* out, QString* err)
{
    QProcess process;
    process.start(QString::fromUtf8(tool), args);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000))
        qFatal("%s did not finish", tool);
    if (out)
        *out = QString::fromUtf8(process.readAllStandardOutput());
    if (err)
        *err = QString::fromUtf8(process.readAllStandardError());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}
