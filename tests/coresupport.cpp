#include "coresupport.h"

#include "vault/apperror.h"
#include "vault/fileops.h"
#include "vault/stringcipher.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <algorithm>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

void prepareCoreTestProcess()
{
    static QTemporaryDir settings;
    qputenv("XDG_CONFIG_HOME", settings.path().toUtf8());
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

CoreSandbox::CoreSandbox()
{
    // Born 0600, as the tool makes it.
    FileOps::writeFile(vaultPath(), FileOps::Placement::Replace, freshVault());
    oldWorkFolder_ = QDir::currentPath();
    QDir::setCurrent(work_.path());
}

CoreSandbox::~CoreSandbox()
{
    QDir::setCurrent(oldWorkFolder_);
}

std::unique_ptr<VaultStore> CoreSandbox::openVault() const
{
    return VaultStore::open(vaultPath());
}

void CoreSandbox::addAccount(const QString& name, const QString& username, const QString& password, const QString& url,
                             const QString& hint, const QString& notes)
{
    openVault()->appendAccount({name, Encrypt(username), Encrypt(password), url, hint, notes});
}

void CoreSandbox::initializeMaster(const QString& masterPassword)
{
    openVault()->storeMasterPassword(Encrypt(masterPassword), true);
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

namespace {

// The list's order as SQL compares it, for a walk of the ordered query
// that the store's own order is checked against: case-insensitive for all
// of Unicode; ASCII-only pairs take the short road.
int compareNoCase(void*, int lengthA, const void* a, int lengthB, const void* b)
{
    const auto* pa = static_cast<const unsigned char*>(a);
    const auto* pb = static_cast<const unsigned char*>(b);
    const int common = std::min(lengthA, lengthB);
    bool ascii = true;
    for (int i = 0; i < common; ++i) {
        if ((pa[i] | pb[i]) & 0x80) {
            ascii = false;
            break;
        }
        const int ca = (pa[i] >= 'A' && pa[i] <= 'Z') ? pa[i] + 32 : pa[i];
        const int cb = (pb[i] >= 'A' && pb[i] <= 'Z') ? pb[i] + 32 : pb[i];
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    if (ascii) {
        const auto isAscii = [](const unsigned char* p, int from, int to) {
            for (int i = from; i < to; ++i)
                if (p[i] & 0x80)
                    return false;
            return true;
        };
        if (isAscii(pa, common, lengthA) && isAscii(pb, common, lengthB))
            return lengthA == lengthB ? 0 : (lengthA < lengthB ? -1 : 1);
    }
    const QString sa = QString::fromUtf8(reinterpret_cast<const char*>(pa), lengthA);
    const QString sb = QString::fromUtf8(reinterpret_cast<const char*>(pb), lengthB);
    const int result = sa.compare(sb, Qt::CaseInsensitive);
    return result < 0 ? -1 : (result > 0 ? 1 : 0);
}

}  // namespace

void registerAccountOrder(Database& db)
{
    const int rc = sqlite3_create_collation(db.handle(), "UNICODE_NOCASE", SQLITE_UTF8, nullptr, compareNoCase);
    if (rc != SQLITE_OK)
        raiseStoreError(db.handle(), rc, QStringLiteral("Cannot register the account order"));
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

int runTool(const char* tool, const QStringList& args, const QByteArray& input, QString* out, QString* err)
{
    QProcess process;
    // Marks every message Qt itself prints in the tool: any is a fault of the tool.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("[Qt %{type}] %{message}"));
    process.setProcessEnvironment(environment);
    process.start(QString::fromUtf8(tool), args);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000))
        qFatal("%s did not finish", tool);
    if (out)
        *out = QString::fromUtf8(process.readAllStandardOutput());
    const QByteArray errors = process.readAllStandardError();
    if (errors.contains("[Qt "))
        QTest::qFail((tool + (": " + errors)).constData(), __FILE__, __LINE__);
    if (err)
        *err = QString::fromUtf8(errors);
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}
