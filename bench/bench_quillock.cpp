// Quillock's own work on generated vaults of 1,000 to 100,000 accounts, each
// beside the floor for the same work measured in the same run, straight on
// the C API: a bare sqlcipher_export of the file, a bare unsorted scan of row
// id and name, a bare read of one row by id, a bare insert, delete or update
// by id, a bare read of all six fields with the two enciphered ones opened,
// a bare write of as many bytes as the report's to a new file, synced once.
// A sealed copy of each vault is measured beside it in the same run.
// Prints the table of medians at the end.
#include "benchtable.h"
#include "vaultgen.h"

#include "accounts/frmEditAccount.h"
#include "accounts/frmMain.h"
#include "report/reportwriter.h"
#include "shared/desktopopen.h"
#include "shared/fonts.h"
#include "shared/messagebox.h"
#include "shared/module1.h"
#include "shared/programend.h"
#include "transfer/accountimport.h"
#include "vault/apperror.h"
#include "vault/sqlite.h"
#include "vault/stringcipher.h"
#include "vault/vaultstore.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sodium.h>
#include <unistd.h>

namespace {

using BenchTable::Clock;
using BenchTable::secondsSince;

QString vaultCache;  // generated vaults, kept between runs

[[noreturn]] void die(const QString& why)
{
    std::fprintf(stderr, "quillock-bench: %s\n", qPrintable(why));
    std::exit(1);
}

// The generated vault of n accounts; made once and kept in the cache folder.
QString generatedVault(int n)
{
    try {
        return VaultGen::cached(vaultCache, n);
    } catch (const AppError& error) {
        die(error.description());
    }
}

// Sealing takes a new master password: the generated one, after another
// in the plain master row.
void sealWithTheMasterPassword(VaultStore& vault)
{
    const QString before = QStringLiteral("before-Sealing");
    vault.storeMasterPassword(Encrypt(before), false);
    vault.seal(before, VaultGen::MasterPassword);
}

// The generated vault of n accounts sealed with its master password, kept
// beside it.
QString sealedVault(int n)
{
    const QString path = QStringLiteral("%1/vault-%2-sealed-v1.mdb").arg(vaultCache).arg(n);
    if (!QFile::exists(path)) {
        const QString scratch = path + QStringLiteral(".tmp");
        QFile::remove(scratch);
        std::fprintf(stderr, "sealing a vault of %d accounts...\n", n);
        if (!QFile::copy(generatedVault(n), scratch))
            die(QStringLiteral("cannot copy the vault of %1 accounts").arg(n));
        try {
            sealWithTheMasterPassword(*VaultStore::open(scratch));
        } catch (const AppError& error) {
            die(QString::fromUtf8(error.what()));
        }
        if (!QFile::rename(scratch, path))
            die(QStringLiteral("cannot keep %1").arg(path));
    }
    return path;
}

// An application folder holding its own copy of the generated vault (or of
// its sealed copy), and a working folder for the scratch icon.
class AppFolder {
public:
    explicit AppFolder(int n, bool sealed = false)
    {
        if (!app_.isValid() || !work_.isValid() || !QFile::copy(sealed ? sealedVault(n) : generatedVault(n), vault()))
            die(QStringLiteral("cannot lay out an application folder"));
        Module1::setApplicationFolder(app_.path());
        Module1::reset();
        QDir::setCurrent(work_.path());
    }
    ~AppFolder() { QDir::setCurrent(QDir::tempPath()); }
    QString file(const char* name) const { return app_.filePath(QString::fromLatin1(name)); }
    QString vault() const { return file("data.mdb"); }

private:
    QTemporaryDir app_;
    QTemporaryDir work_;
};

std::unique_ptr<frmMain> startedMain()
{
    auto window = std::make_unique<frmMain>();
    if (!window->load())
        die(QStringLiteral("start-up failed"));
    return window;
}

QComboBox* accountList(frmMain& window)
{
    return window.findChild<QComboBox*>(QStringLiteral("cboAccount"));
}

// What the user does: choose the entry; the combo box reports it as activated.
void pick(frmMain& window, int index)
{
    QComboBox* combo = accountList(window);
    combo->setCurrentIndex(index);
    emit combo->activated(index);
}

void mustExec(sqlite3* db, const QString& sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &error) != SQLITE_OK)
        die(QStringLiteral("%1: %2").arg(sql, QString::fromUtf8(error)));
}

// The field cipher's key and opening, bare: base64 and XSalsa20-Poly1305.
struct StringCipherKey {
    StringCipherKey()
    {
        const QByteArray text = StringCipher::FixedKey.toUtf8();
        crypto_generichash(key, sizeof key, reinterpret_cast<const unsigned char*>(text.constData()),
                           size_t(text.size()), nullptr, 0);
    }
    void open(const char* text, size_t length, std::vector<unsigned char>& sealed,
              std::vector<unsigned char>& plain) const
    {
        size_t sealedLength = 0;
        if (sodium_base642bin(sealed.data(), sealed.size(), text, length, nullptr, &sealedLength, nullptr,
                              sodium_base64_VARIANT_ORIGINAL)
                != 0
            || sealedLength < crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES
            || crypto_secretbox_open_easy(plain.data(), sealed.data() + crypto_secretbox_NONCEBYTES,
                                          sealedLength - crypto_secretbox_NONCEBYTES, sealed.data(), key)
                != 0)
            die(QStringLiteral("a field did not open"));
    }
    unsigned char key[crypto_secretbox_KEYBYTES];
};

// The bare floors, straight on the C API.
struct Bare {
    explicit Bare(const QString& path) { db.open(path, VaultStore::DatabasePassword); }

    // Every row of the ordered query, touching `columns` columns of each.
    int scan(const char* sql, int columns)
    {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db.handle(), sql, -1, &stmt, nullptr);
        int rows = 0;
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            for (int c = 0; c < columns; ++c)
                benchmark::DoNotOptimize(sqlite3_column_text(stmt, c));
            ++rows;
        }
        sqlite3_finalize(stmt);
        return rows;
    }
    int scanNames() { return scan("select rowid, account from accounts", 2); }

    // Every row's six fields, the two enciphered ones opened with libsodium.
    int readAllAndDecipher()
    {
        static const StringCipherKey key;
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db.handle(), "select account, username, password, url, hint, notes from accounts", -1, &stmt,
                           nullptr);
        int rows = 0;
        std::vector<unsigned char> sealed(4096), plain(4096);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            for (int c = 0; c < 6; ++c) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
                const int bytes = sqlite3_column_bytes(stmt, c);
                if ((c == 1 || c == 2) && bytes > 0)
                    key.open(text, size_t(bytes), sealed, plain);
                benchmark::DoNotOptimize(text);
            }
            ++rows;
        }
        sqlite3_finalize(stmt);
        return rows;
    }

    void readById(qint64 rowid)
    {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db.handle(),
                           "select account, username, password, url, hint, notes from accounts where rowid = ?", -1,
                           &stmt, nullptr);
        sqlite3_bind_int64(stmt, 1, rowid);
        if (sqlite3_step(stmt) != SQLITE_ROW)
            die(QStringLiteral("no row %1").arg(rowid));
        for (int c = 0; c < 6; ++c)
            benchmark::DoNotOptimize(sqlite3_column_text(stmt, c));
        sqlite3_finalize(stmt);
    }

    // Another copy's commit. It must change the row's bytes: SQLite leaves a
    // cell that would be written unchanged alone, and a commit that wrote
    // nothing moves no other connection's data_version.
    void commitChange()
    {
        mustExec(db.handle(),
                 QStringLiteral("update accounts set hint = case hint when 'a' then 'b' else 'a' end "
                                "where rowid = (select rowid from accounts order by rowid desc limit 1)"));
    }

    // More names changed than the store follows one by one (its ChangesKept),
    // so that the order is read and sorted afresh. The vault's connection
    // allows no functions: each call lengthens the same names by one mark.
    void renameMany(int n)
    {
        mustExec(db.handle(),
                 QStringLiteral("update accounts set account = account || '~' where rowid % %1 = 0")
                     .arg(std::max(1, n / 300)));
    }

    qint64 middleRowid()
    {
        Statement query(db, "select rowid from accounts order by rowid desc limit 1");
        query.step();
        return query.integer(0) / 2;
    }

    Database db;
};

// As the add dialog stores them: in a sealed vault the password sealed.
AccountFields sampleFields(VaultStore& vault)
{
    return {QStringLiteral("Mid-list Bank"),
            Encrypt(QStringLiteral("someone@example.org")),
            vault.passwordToStore(QStringLiteral("s3cret-Pass!")),
            QStringLiteral("http://www.bank.example/login"),
            QStringLiteral("the usual\nwith a twist"),
            QStringLiteral("card ends 1234\r\nphone +44 20 7946 0000")};
}

// What a passing security check leaves: in a sealed vault, the seal open.
void passCheck(VaultStore& vault)
{
    if (!vault.masterPasswordOpens(VaultGen::MasterPassword))
        die(QStringLiteral("the master password does not open the vault"));
}

// ---- our work ----

void startUp(benchmark::State& state, int n, bool sealed)
{
    AppFolder app(n, sealed);
    for (auto _ : state) {
        auto window = std::make_unique<frmMain>();
        const auto start = Clock::now();
        if (!window->load())
            die(QStringLiteral("start-up failed"));
        state.SetIterationTime(secondsSince(start));
    }
}

// `changed`: before each rebuild another copy adds a row or takes it away
// again, so the list is read and copied afresh; otherwise the vault is as
// the list left it (the thirty-second tick).
enum class ListWrite { None, OneRow, ManyNames };

void loadList(benchmark::State& state, int n, ListWrite change)
{
    AppFolder app(n);
    auto window = startedMain();
    Bare other(app.vault());
    bool added = false;
    for (auto _ : state) {
        if (change == ListWrite::OneRow)
            mustExec(other.db.handle(),
                     added ? QStringLiteral("delete from accounts where account = 'Mid-list Bank'")
                           : QStringLiteral("insert into accounts (account) values ('Mid-list Bank')"));
        if (change == ListWrite::ManyNames)
            other.renameMany(n);
        if (change != ListWrite::None)
            added = !added;
        const auto start = Clock::now();
        window->LoadAccountList();
        state.SetIterationTime(secondsSince(start));
    }
    const int expected = n + (change == ListWrite::OneRow && added ? 1 : 0);
    if (accountList(*window)->count() != expected)
        die(QStringLiteral("the list holds %1 entries").arg(accountList(*window)->count()));
}

// The store's part of a full rebuild: the order read and sorted afresh.
void storeOrder(benchmark::State& state, int n)
{
    AppFolder app(n);
    auto vault = VaultStore::open(app.vault());
    Bare other(app.vault());
    vault->accountOrder();
    for (auto _ : state) {
        other.renameMany(n);
        const auto start = Clock::now();
        benchmark::DoNotOptimize(vault->accountOrder().size());
        state.SetIterationTime(secondsSince(start));
    }
}

// `changed`: another connection commits before every pick, so the pick must
// walk the order afresh.
void pickEntry(benchmark::State& state, int n, int which, bool changed, bool sealed = false)
{
    AppFolder app(n, sealed);
    auto window = startedMain();
    const int index = which == 0 ? 0 : which == 1 ? n / 2 : n - 1;
    Bare other(app.vault());
    const QString expected = accountList(*window)->itemText(index);
    for (auto _ : state) {
        if (changed)
            other.commitChange();
        const auto start = Clock::now();
        pick(*window, index);
        state.SetIterationTime(secondsSince(start));
        // A sealed password stays closed until reveal.
        if (Module1::SelectedPassword.isEmpty() != sealed || accountList(*window)->currentText() != expected)
            die(QStringLiteral("the pick did not show its account"));
    }
}

void deleteCommand(benchmark::State& state, int n)
{
    AppFolder app(n);
    auto window = startedMain();
    MessageBox::setResponder([](const MessageBox::Request&) { return QMessageBox::Ok; });
    auto* button = window->findChild<QPushButton*>(QStringLiteral("cmdDelete"));
    for (auto _ : state) {
        pick(*window, n / 2);
        const auto row = window->VaultDb()->accountAt(n / 2 + 1);
        const auto start = Clock::now();
        button->click();
        state.SetIterationTime(secondsSince(start));
        // Put the account back for the next round.
        window->VaultDb()->appendAccount(row->fields);
        window->LoadAccountList();
    }
}

void addCommand(benchmark::State& state, int n, bool sealed)
{
    AppFolder app(n, sealed);
    auto window = startedMain();
    for (auto _ : state) {
        const auto start = Clock::now();
        // The dialog's store step (two fields enciphered, the row appended),
        // then the list brought up to date as the main window does after it.
        const qint64 rowid = window->VaultDb()->appendAccount(sampleFields(*window->VaultDb()));
        window->LoadAccountList();
        state.SetIterationTime(secondsSince(start));
        // Taken away again as our own write, so the next round starts alike.
        const auto at = window->VaultDb()->accountOrder().indexOf(rowid);
        window->VaultDb()->deleteAccountAt(qint64(*at) + 1, rowid);
        window->LoadAccountList();
    }
}

void editLoad(benchmark::State& state, int n, bool sealed)
{
    AppFolder app(n, sealed);
    auto window = startedMain();
    passCheck(*window->VaultDb());
    Module1::EditIndex = n / 2;
    const qint64 rowid = window->VaultDb()->accountAt(n / 2 + 1)->rowid;
    for (auto _ : state) {
        frmEditAccount dialog(*window->VaultDb(), window.get());
        const auto start = Clock::now();
        const auto loaded = dialog.load(rowid);
        state.SetIterationTime(secondsSince(start));
        if (loaded != frmEditAccount::Loaded::Row)
            die(QStringLiteral("the edit dialog found no row"));
    }
}

void editStore(benchmark::State& state, int n, bool sealed)
{
    AppFolder app(n, sealed);
    auto window = startedMain();
    passCheck(*window->VaultDb());
    Module1::EditIndex = n / 2;
    const qint64 rowid = window->VaultDb()->accountAt(n / 2 + 1)->rowid;
    for (auto _ : state) {
        frmEditAccount dialog(*window->VaultDb(), window.get());
        if (dialog.load(rowid) != frmEditAccount::Loaded::Row)
            die(QStringLiteral("the edit dialog found no row"));
        auto* ok = dialog.findChild<QPushButton*>(QStringLiteral("cmdOk"));
        const auto start = Clock::now();
        ok->click();
        window->LoadAccountList();
        state.SetIterationTime(secondsSince(start));
        if (dialog.result() != QDialog::Accepted)
            die(QStringLiteral("the edit was not stored"));
    }
}

// `derive`: the check's derivation (a sealed vault's) is timed with it;
// otherwise the seal is open before.
void reportCommand(benchmark::State& state, int n, bool sealed, bool derive)
{
    AppFolder app(n, sealed);
    auto window = startedMain();
    VaultStore& vault = *window->VaultDb();
    const QString path = app.file("report.htm");
    if (!derive)
        passCheck(vault);
    for (auto _ : state) {
        const auto start = Clock::now();
        if (derive)
            passCheck(vault);
        writeReport(vault, path);
        if (derive)
            vault.lockSeal();
        state.SetIterationTime(secondsSince(start));
    }
}

// One bare Argon2id derivation with the limits a vault is sealed with, in seconds.
double bareDerivation()
{
    unsigned char key[crypto_secretbox_KEYBYTES];
    unsigned char salt[crypto_pwhash_SALTBYTES] = {};
    const QByteArray master = VaultGen::MasterPassword.toUtf8();
    const auto start = Clock::now();
    if (crypto_pwhash(key, sizeof key, master.constData(), quint64(master.size()), salt, SealRow::DefaultLimits.ops,
                      size_t(SealRow::DefaultLimits.mem), crypto_pwhash_ALG_ARGON2ID13)
        != 0)
        die(QStringLiteral("the derivation failed"));
    return secondsSince(start);
}

// The reveal command through its button, its prompt answered at once.
// `lessDerivation`: a bare derivation is timed right before each reveal and
// taken off, so the load of the machine weighs alike on both.
void revealCommand(benchmark::State& state, int n, bool sealed, bool lessDerivation = false)
{
    AppFolder app(n, sealed);
    auto window = startedMain();
    auto* button = window->findChild<QPushButton*>(QStringLiteral("cmdReveal"));
    auto* shown = window->findChild<QLabel*>(QStringLiteral("lblPassword"));
    for (auto _ : state) {
        pick(*window, n / 2);
        QTimer::singleShot(0, [] {
            for (QWidget* prompt : QApplication::topLevelWidgets()) {
                if (prompt->objectName() != QLatin1String("frmMasterPassword") || !prompt->isVisible())
                    continue;
                prompt->findChild<QLineEdit*>(QStringLiteral("txtPassword"))->setText(VaultGen::MasterPassword);
                prompt->findChild<QPushButton*>(QStringLiteral("cmdOk"))->click();
            }
        });
        const double derivation = lessDerivation ? bareDerivation() : 0.0;
        const auto start = Clock::now();
        button->click();
        state.SetIterationTime(std::max(0.0, secondsSince(start) - derivation));
        if (shown->text().isEmpty() || shown->text() == QLatin1String("****************"))
            die(QStringLiteral("the reveal showed no password"));
    }
}

// A new master password in a sealed vault once the check has opened it:
// a new key pair, every password sealed again, the commit.
void rekeyVault(benchmark::State& state, int n)
{
    for (auto _ : state) {
        AppFolder app(n, true);
        auto vault = VaultStore::open(app.vault());
        if (!vault->masterPasswordOpens(VaultGen::MasterPassword))
            die(QStringLiteral("the sealed vault of %1 accounts does not open").arg(n));
        const auto start = Clock::now();
        vault->changeMasterPassword(QStringLiteral("new-Master1"), false);
        vault.reset();
        state.SetIterationTime(secondsSince(start));
    }
}

// What quillock-seal does once it has the lock and the master password:
// the vault opened and converted, one way or the other.
void convertVault(benchmark::State& state, int n, bool toSealed)
{
    for (auto _ : state) {
        AppFolder app(n, !toSealed);
        const auto start = Clock::now();
        auto vault = VaultStore::open(app.vault());
        if (toSealed)
            sealWithTheMasterPassword(*vault);
        else
            vault->unseal(VaultGen::MasterPassword);
        vault.reset();
        state.SetIterationTime(secondsSince(start));
    }
}

// A Chrome export of n logins, a note on every fifth.
QByteArray generatedExport(int n)
{
    QByteArray csv = "name,url,username,password,note\r\n";
    for (int i = 0; i < n; ++i)
        Transfer::appendCsvRecord(
            csv,
            {QStringLiteral("Site %1").arg(i), QStringLiteral("https://www.site%1.example/login").arg(i),
             QStringLiteral("user%1@example.org").arg(i), QStringLiteral("pw-%1").arg(quint32(i) * 2654435761u, 8, 16),
             i % 5 == 0 ? QStringLiteral("account %1\nsecond line").arg(i) : QString()});
    return csv;
}

// quillock-import's work on an export of n logins into a fresh vault:
// read, checked, compared with the vault and stored in one transaction.
void importRows(benchmark::State& state, int n)
{
    const QByteArray csv = generatedExport(n);
    for (auto _ : state) {
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("data.mdb"));
        VaultGen::write(path, 0);
        auto vault = VaultStore::open(path);
        const auto start = Clock::now();
        Transfer::AccountImport import(csv);
        import.run(*vault, false);
        state.SetIterationTime(secondsSince(start));
        if (import.storedCount() != n)
            die(QStringLiteral("the import stored %1 of %2 rows").arg(import.storedCount()).arg(n));
    }
}

// ---- floors ----

void floorExport(benchmark::State& state, int n)
{
    AppFolder app(n);
    const QByteArray source = app.vault().toUtf8();
    const QString target = app.file("data1.mdb");
    for (auto _ : state) {
        QFile::remove(target);
        const auto start = Clock::now();
        sqlite3* db = nullptr;
        sqlite3_open_v2(source.constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        sqlite3_key(db, VaultStore::DatabasePassword.constData(), int(VaultStore::DatabasePassword.size()));
        mustExec(db, QString::fromLatin1(VaultFormat));
        // One derivation, the least the work needs: the vault's key, read
        // once, which the copy attached without a key of its own takes over.
        mustExec(db, QStringLiteral("select count(*) from sqlite_master"));
        mustExec(db, QStringLiteral("attach database '%1' as compacted").arg(target));
        mustExec(db, QStringLiteral("pragma compacted.cipher_compatibility = 3"));
        // Nor a sync of the new file at each of the export's commits, but
        // one of the whole copy: only a copy on disk may replace the vault.
        mustExec(db, QStringLiteral("pragma compacted.synchronous = off"));
        mustExec(db, QStringLiteral("select sqlcipher_export('compacted')"));
        mustExec(db, QStringLiteral("detach database compacted"));
        sqlite3_close(db);
        const int copy = ::open(QFile::encodeName(target).constData(), O_RDONLY);
        if (copy < 0 || ::fsync(copy) != 0)
            die(QStringLiteral("cannot sync %1").arg(target));
        ::close(copy);
        state.SetIterationTime(secondsSince(start));
    }
}

// One bare pass over the whole table, which must see every row. `cold`:
// after another connection's commit, as every rebuild is, so the page cache
// starts cold.
template <class Pass> void floorPass(benchmark::State& state, int n, bool cold, Pass pass)
{
    AppFolder app(n);
    Bare bare(app.vault());
    Bare other(app.vault());
    for (auto _ : state) {
        if (cold)
            other.commitChange();
        const auto start = Clock::now();
        const int rows = pass(bare);
        state.SetIterationTime(secondsSince(start));
        if (rows != n)
            die(QStringLiteral("the pass saw %1 rows").arg(rows));
    }
}

void floorDerive(benchmark::State& state)
{
    for (auto _ : state)
        state.SetIterationTime(bareDerivation());
}

void floorRead(benchmark::State& state, int n)
{
    AppFolder app(n);
    Bare bare(app.vault());
    const qint64 rowid = bare.middleRowid();
    for (auto _ : state) {
        const auto start = Clock::now();
        bare.readById(rowid);
        state.SetIterationTime(secondsSince(start));
    }
}

// As many bytes as the report of the vault holds written to a new file in
// 1 MiB writes, then one fsync: the physical part of the report's work.
void floorReportBytes(benchmark::State& state, int n)
{
    AppFolder app(n);
    const QString report = app.file("report.htm");
    writeReport(*VaultStore::open(app.vault()), report);
    const qint64 bytes = QFileInfo(report).size();
    QFile::remove(report);
    const QByteArray target = app.file("bare.htm").toUtf8();
    const std::vector<char> chunk(1 << 20, 'x');
    for (auto _ : state) {
        const auto start = Clock::now();
        const int fd = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        qint64 left = bytes;
        while (fd >= 0 && left > 0) {
            const ssize_t wrote = ::write(fd, chunk.data(), size_t(std::min<qint64>(left, qint64(chunk.size()))));
            if (wrote <= 0)
                break;
            left -= wrote;
        }
        const bool synced = fd >= 0 && ::fsync(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        state.SetIterationTime(secondsSince(start));
        ::unlink(target.constData());
        if (left != 0 || !synced)
            die(QStringLiteral("the bare write of %1 bytes failed").arg(bytes));
    }
}

// A bare write of one row by id in its own transaction, and nothing else.
void floorWrite(benchmark::State& state, int n, const char* what)
{
    AppFolder app(n);
    Bare bare(app.vault());
    const qint64 rowid = bare.middleRowid();
    const bool insert = std::strcmp(what, "insert") == 0;
    const bool remove = std::strcmp(what, "delete") == 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (insert)
            mustExec(bare.db.handle(),
                     QStringLiteral("insert into accounts (account, username, password, url, hint, "
                                    "notes) values ('Mid-list Bank', 'u', 'p', 'http://', '', '')"));
        else if (remove)
            mustExec(bare.db.handle(),
                     QStringLiteral("begin immediate; delete from accounts where rowid = %1; "
                                    "commit")
                         .arg(rowid));
        else
            mustExec(bare.db.handle(),
                     QStringLiteral("begin immediate; update accounts set notes = case notes when 'a' "
                                    "then 'b' else 'a' end where rowid = %1; commit")
                         .arg(rowid));
        state.SetIterationTime(secondsSince(start));
        if (remove)
            mustExec(bare.db.handle(),
                     QStringLiteral("insert into accounts (rowid, account) values (%1, 'x')").arg(rowid));
        else if (insert)
            mustExec(bare.db.handle(),
                     QStringLiteral("delete from accounts where rowid = %1")
                         .arg(sqlite3_last_insert_rowid(bare.db.handle())));
    }
}

// ---- the table ----

struct Line {
    const char* work;
    const char* ours;
    std::vector<const char*> floors;
    const char* floorText;
    const char* target;  // "" when none
    bool difference = false;  // ours minus the floor, not ours over it
};

const std::vector<Line> Lines = {
    {"start-up (compaction, open, first-run test, first list)",
     "startup",
     {"floor_export", "floor_scan"},
     "export + unsorted scan",
     "< 1.2x"},
    {"LoadAccountList, vault unchanged (the 30-second tick)", "list", {}, "", "< 1 ms"},
    {"LoadAccountList after another copy added or removed a row (the list follows it)",
     "list_changed",
     {"floor_scan"},
     "unsorted scan of row id and name",
     "< 1.5x"},
    {"LoadAccountList after another copy renamed 300 accounts (full rebuild)",
     "list_rebuilt",
     {"floor_scan"},
     "unsorted scan of row id and name",
     "< 1.5x"},
    {"  store part of it (order read and sorted)",
     "store_order",
     {"floor_scan"},
     "unsorted scan of row id and name",
     ""},
    {"pick first entry", "pick_first", {"floor_read"}, "read by id", "< 5 ms"},
    {"pick middle entry", "pick_middle", {"floor_read"}, "read by id", "< 5 ms"},
    {"pick last entry", "pick_last", {"floor_read"}, "read by id", "< 5 ms"},
    {"pick last after another copy wrote",
     "pick_last_changed",
     {"floor_scan"},
     "unsorted scan of row id and name",
     "< 1.5x"},
    {"delete (confirm, delete, list in step)", "delete", {"floor_delete"}, "delete by id", "< 20 ms, <= 3x"},
    {"add (store, list in step)", "add", {"floor_insert"}, "insert", "< 20 ms, <= 3x"},
    {"edit: load", "edit_load", {"floor_read"}, "read by id", ""},
    {"edit: store (OK, list in step)", "edit_store", {"floor_update"}, "update by id", "< 20 ms, <= 3x"},
    {"report (written and synced)",
     "report",
     {"floor_read_all", "floor_report_bytes"},
     "read of all fields + deciphering + as many bytes written, one fsync",
     "< 1.5x"},
    {"  floor's write part (as many bytes to a new file, one fsync)", "floor_report_bytes", {}, "", ""},
    {"quillock-import of a Chrome export of as many rows", "import", {}, "", "< 10 s at 100,000"},
    {"reveal (prompt answered, password shown)", "reveal", {}, "", ""},
    // A sealed vault beside the same vault unsealed.
    {"sealed: start-up", "sealed_startup", {"startup"}, "start-up, unsealed", "< 1.1x"},
    {"sealed: pick first entry", "sealed_pick_first", {"pick_first"}, "pick, unsealed", "< +0.1 ms", true},
    {"sealed: pick middle entry", "sealed_pick_middle", {"pick_middle"}, "pick, unsealed", "< +0.1 ms", true},
    {"sealed: pick last entry", "sealed_pick_last", {"pick_last"}, "pick, unsealed", "< +0.1 ms", true},
    {"sealed: add (store, list in step)", "sealed_add", {"add"}, "add, unsealed", "< 20 ms"},
    {"sealed: edit: load (seal open)", "sealed_edit_load", {"edit_load"}, "edit load, unsealed", ""},
    {"sealed: edit: store (OK, list in step)", "sealed_edit_store", {"edit_store"}, "edit store, unsealed", "< 20 ms"},
    {"sealed: reveal (prompt answered, password shown)",
     "sealed_reveal",
     {"reveal", "floor_derive"},
     "reveal, unsealed + one derivation",
     "",
     true},
    {"sealed: reveal less a derivation timed beside it",
     "sealed_reveal_less",
     {"reveal"},
     "reveal, unsealed",
     "< +5 ms",
     true},
    {"sealed: report (with the check's derivation)", "sealed_report", {"report"}, "report, unsealed", "< 1.5x"},
    {"sealed: report, seal open before", "sealed_report_open", {"report"}, "report, unsealed", ""},
    {"sealing (open, derive, convert, commit)", "seal", {}, "", "10,000 < 3 s; 100,000 < 30 s"},
    {"unsealing (open, derive, convert, commit)", "unseal", {}, "", "10,000 < 3 s; 100,000 < 30 s"},
    {"new master password, sealed (new key pair, derive, re-seal, commit)",
     "rekey",
     {},
     "",
     "10,000 < 3 s; 100,000 < 30 s"},
};

void printTable(const std::map<std::string, double>& medians, const std::vector<int>& sizes, FILE* out)
{
    std::fprintf(out, "| Work | Accounts | Ours (ms) | Floor (ms) | Floor is | Ratio | Target |\n");
    std::fprintf(out, "|---|---:|---:|---:|---|---:|---|\n");
    if (const auto derive = medians.find("floor_derive"); derive != medians.end())
        std::fprintf(out,
                     "| one Argon2id derivation (%llu MiB, %llu passes) | - | %.1f | - | - | - | 200 to 500 ms |\n",
                     static_cast<unsigned long long>(SealRow::DefaultLimits.mem >> 20),
                     static_cast<unsigned long long>(SealRow::DefaultLimits.ops), derive->second);
    for (const Line& line : Lines) {
        for (int n : sizes) {
            const auto key = [n](const char* name) { return std::string(name) + "/" + std::to_string(n); };
            const auto ours = medians.find(key(line.ours));
            if (ours == medians.end())
                continue;
            double floor = 0;
            bool haveFloor = true;
            for (const char* part : line.floors) {
                // A floor of no size (the derivation) counts at every size.
                auto found = medians.find(key(part));
                if (found == medians.end())
                    found = medians.find(part);
                haveFloor = haveFloor && found != medians.end();
                if (found != medians.end())
                    floor += found->second;
            }
            if (line.floors.empty())
                std::fprintf(out, "| %s | %d | %.3f | - | - | - | %s |\n", line.work, n, ours->second, line.target);
            else if (haveFloor && line.difference)
                std::fprintf(out, "| %s | %d | %.2f | %.2f | %s | %+.2f ms | %s |\n", line.work, n, ours->second, floor,
                             line.floorText, ours->second - floor, line.target);
            else if (haveFloor)
                std::fprintf(out, "| %s | %d | %.2f | %.2f | %s | %.2f | %s |\n", line.work, n, ours->second, floor,
                             line.floorText, ours->second / floor, line.target);
            else
                std::fprintf(out, "| %s | %d | %.2f | - | %s | - | %s |\n", line.work, n, ours->second, line.floorText,
                             line.target);
        }
    }
}

// ---- peak memory ----

// The process's high-water mark of resident memory, as /proc gives it ("123 kB").
bool printPeakResident()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            std::printf("%s\n", line.mid(6).trimmed().constData());
    return true;
}

// The child: a main window started on the vault in `folder`, its list shown
// and the last entry picked, as a user would. Prints its own high-water
// mark of resident memory: that of its fresh address space alone (a
// child's rusage would carry over the parent's at the fork).
int peakChild(const QString& folder, bool check)
{
    Module1::setApplicationFolder(folder);
    QDir::setCurrent(folder);
    auto window = startedMain();
    window->show();
    QApplication::processEvents();
    QComboBox* combo = accountList(*window);
    combo->showPopup();
    QApplication::processEvents();
    combo->hidePopup();
    pick(*window, combo->count() - 1);
    QApplication::processEvents();
    // The check of a guarded command; in a sealed vault its derivation.
    if (check) {
        passCheck(*window->VaultDb());
        window->VaultDb()->lockSeal();
    }
    return printPeakResident() && combo->count() > 0 ? 0 : 1;
}

// Peak resident memory (MB) of a separate program run of peakChild.
double peakMemory(int n, bool sealed, bool check)
{
    AppFolder app(n, sealed);
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {check ? QStringLiteral("--peak-child-check") : QStringLiteral("--peak-child"),
                 QFileInfo(app.vault()).absolutePath()});
    if (!child.waitForFinished(600000) || child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        die(QStringLiteral("the peak-memory child failed"));
    const QByteArray kb = child.readAllStandardOutput().trimmed();
    if (!kb.endsWith(" kB"))
        die(QStringLiteral("the peak-memory child said %1").arg(QString::fromUtf8(kb)));
    return kb.chopped(3).trimmed().toDouble() / 1024.0;
}

// The import's child: the tool's work on FILE into the vault VAULT (read,
// checked, stored), then its own high-water mark of resident memory.
int importPeakChild(const QString& file, const QString& vault)
{
    try {
        Transfer::AccountImport import(Transfer::readInputFile(file));
        import.run(*VaultStore::open(vault), false);
    } catch (const AppError& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return printPeakResident() ? 0 : 1;
}

// Peak resident memory (MB) of a separate run of importPeakChild on a file
// of `header`, then `row` again and again until the file holds `bytes`.
double importPeakMemory(const QByteArray& header, const QByteArray& row, qsizetype bytes)
{
    QTemporaryDir folder;
    const QString csv = folder.filePath(QStringLiteral("in.csv"));
    const QString vault = folder.filePath(QStringLiteral("data.mdb"));
    QFile out(csv);
    if (!folder.isValid() || !out.open(QIODevice::WriteOnly))
        die(QStringLiteral("cannot write %1").arg(csv));
    out.write(header);
    QByteArray rows;
    for (int i = 0; header.size() + rows.size() < bytes; ++i)
        rows += QByteArray(row).replace("#", QByteArray::number(i));
    out.write(rows);
    out.close();
    VaultGen::write(vault, 0);
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--import-peak-child"), csv, vault});
    if (!child.waitForFinished(600000) || child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        die(QStringLiteral("the import's peak-memory child failed: %1")
                .arg(QString::fromUtf8(child.readAllStandardError())));
    return child.readAllStandardOutput().trimmed().chopped(3).trimmed().toDouble() / 1024.0;
}

void registerAll(const std::vector<int>& sizes)
{
    const auto add = [](const std::string& name, int n, int iterations, int repetitions, auto&& fn) {
        benchmark::RegisterBenchmark((name + "/" + std::to_string(n)).c_str(), fn)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(iterations)
            ->Repetitions(repetitions)
            ->ReportAggregatesOnly(true);
    };
    for (int n : sizes) {
        const int heavy = n >= 40000 ? 3 : 5;
        add("startup", n, 1, heavy + 2, [n](benchmark::State& s) { startUp(s, n, false); });
        add("floor_export", n, 1, heavy + 2, [n](benchmark::State& s) { floorExport(s, n); });
        add("list", n, 20, 5, [n](benchmark::State& s) { loadList(s, n, ListWrite::None); });
        add("list_changed", n, 2, heavy, [n](benchmark::State& s) { loadList(s, n, ListWrite::OneRow); });
        add("list_rebuilt", n, 2, heavy, [n](benchmark::State& s) { loadList(s, n, ListWrite::ManyNames); });
        add("store_order", n, 2, heavy, [n](benchmark::State& s) { storeOrder(s, n); });
        add("floor_scan", n, 2, heavy,
            [n](benchmark::State& s) { floorPass(s, n, true, [](Bare& b) { return b.scanNames(); }); });
        add("pick_first", n, 20, 5, [n](benchmark::State& s) { pickEntry(s, n, 0, false); });
        add("pick_middle", n, 20, 5, [n](benchmark::State& s) { pickEntry(s, n, 1, false); });
        add("pick_last", n, 20, 5, [n](benchmark::State& s) { pickEntry(s, n, 2, false); });
        add("pick_last_changed", n, 2, heavy, [n](benchmark::State& s) { pickEntry(s, n, 2, true); });
        add("floor_read", n, 20, 5, [n](benchmark::State& s) { floorRead(s, n); });
        add("delete", n, 5, heavy, [n](benchmark::State& s) { deleteCommand(s, n); });
        add("floor_delete", n, 5, heavy, [n](benchmark::State& s) { floorWrite(s, n, "delete"); });
        add("add", n, 5, heavy, [n](benchmark::State& s) { addCommand(s, n, false); });
        add("floor_insert", n, 5, heavy, [n](benchmark::State& s) { floorWrite(s, n, "insert"); });
        add("edit_load", n, 20, 5, [n](benchmark::State& s) { editLoad(s, n, false); });
        add("edit_store", n, 5, heavy, [n](benchmark::State& s) { editStore(s, n, false); });
        add("floor_update", n, 5, heavy, [n](benchmark::State& s) { floorWrite(s, n, "update"); });
        add("report", n, 1, heavy, [n](benchmark::State& s) { reportCommand(s, n, false, false); });
        add("import", n, 1, heavy, [n](benchmark::State& s) { importRows(s, n); });
        add("floor_read_all", n, 1, heavy,
            [n](benchmark::State& s) { floorPass(s, n, false, [](Bare& b) { return b.readAllAndDecipher(); }); });
        add("floor_report_bytes", n, 1, heavy, [n](benchmark::State& s) { floorReportBytes(s, n); });
        add("reveal", n, 5, 5, [n](benchmark::State& s) { revealCommand(s, n, false); });

        add("sealed_startup", n, 1, heavy + 2, [n](benchmark::State& s) { startUp(s, n, true); });
        add("sealed_pick_first", n, 20, 5, [n](benchmark::State& s) { pickEntry(s, n, 0, false, true); });
        add("sealed_pick_middle", n, 20, 5, [n](benchmark::State& s) { pickEntry(s, n, 1, false, true); });
        add("sealed_pick_last", n, 20, 5, [n](benchmark::State& s) { pickEntry(s, n, 2, false, true); });
        add("sealed_add", n, 5, heavy, [n](benchmark::State& s) { addCommand(s, n, true); });
        add("sealed_edit_load", n, 20, 5, [n](benchmark::State& s) { editLoad(s, n, true); });
        add("sealed_edit_store", n, 5, heavy, [n](benchmark::State& s) { editStore(s, n, true); });
        add("sealed_reveal", n, 3, 5, [n](benchmark::State& s) { revealCommand(s, n, true); });
        add("sealed_reveal_less", n, 10, 5, [n](benchmark::State& s) { revealCommand(s, n, true, true); });
        add("sealed_report", n, 1, heavy, [n](benchmark::State& s) { reportCommand(s, n, true, true); });
        add("sealed_report_open", n, 1, heavy, [n](benchmark::State& s) { reportCommand(s, n, true, false); });
        add("seal", n, 1, 3, [n](benchmark::State& s) { convertVault(s, n, true); });
        add("unseal", n, 1, 3, [n](benchmark::State& s) { convertVault(s, n, false); });
        add("rekey", n, 1, 3, [n](benchmark::State& s) { rekeyVault(s, n); });
    }
    benchmark::RegisterBenchmark("floor_derive", floorDerive)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
}

}  // namespace

int main(int argc, char** argv)
{
    // Our own options first; the rest are Google Benchmark's.
    std::vector<int> sizes = {1000, 10000, 40000, 100000};
    QString tableFile;
    QString peakFolder;
    bool peakCheck = false;
    bool peak = true;
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == QLatin1String("--sizes") && i + 1 < argc) {
            sizes.clear();
            for (const QString& size : QString::fromLocal8Bit(argv[++i]).split(QLatin1Char(',')))
                sizes.push_back(size.toInt());
        } else if (arg == QLatin1String("--vaults") && i + 1 < argc) {
            vaultCache = QString::fromLocal8Bit(argv[++i]);
        } else if (arg == QLatin1String("--table") && i + 1 < argc) {
            tableFile = QString::fromLocal8Bit(argv[++i]);
        } else if (arg == QLatin1String("--no-peak")) {
            peak = false;
        } else if ((arg == QLatin1String("--peak-child") || arg == QLatin1String("--peak-child-check"))
                   && i + 1 < argc) {
            peakCheck = arg == QLatin1String("--peak-child-check");
            peakFolder = QString::fromLocal8Bit(argv[++i]);
        } else if (arg == QLatin1String("--import-peak-child") && i + 2 < argc) {
            QCoreApplication core(argc, argv);  // no windows: the tool has none
            return importPeakChild(QString::fromLocal8Bit(argv[i + 1]), QString::fromLocal8Bit(argv[i + 2]));
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (vaultCache.isEmpty())
        vaultCache = QDir::tempPath() + QStringLiteral("/quillock-bench-vaults");

    // Qt's complaints about the offscreen platform would bury the figures.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(message));
    });
    static QTemporaryDir settings;
    qputenv("XDG_CONFIG_HOME", settings.path().toUtf8());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Fonts::installSubstitutions();
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    // Nothing may stop the run: no message box waits, no end ends it, no
    // browser opens.
    MessageBox::setResponder([](const MessageBox::Request& request) {
        std::fprintf(stderr, "message box: %s\n", qPrintable(request.text));
        return QMessageBox::Ok;
    });
    ProgramEnd::setInterceptor([] { die(QStringLiteral("the program ended")); });
    DesktopOpen::setOpener([](const QString&) {});

    if (!peakFolder.isEmpty())
        return peakChild(peakFolder, peakCheck);

    for (int n : sizes)
        sealedVault(n);

    int benchArgc = int(rest.size());
    benchmark::Initialize(&benchArgc, rest.data());
    if (benchmark::ReportUnrecognizedArguments(benchArgc, rest.data()))
        return 2;
    registerAll(sizes);
    BenchTable::Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    QByteArray table;
    {
        char* buffer = nullptr;
        size_t length = 0;
        FILE* memory = open_memstream(&buffer, &length);
        printTable(reporter.medians, sizes, memory);
        if (peak) {
            std::fprintf(memory,
                         "\n| Peak memory of the running program | Accounts | MB | Target |\n|---|---:|---:|---|\n");
            for (int n : sizes)
                std::fprintf(memory, "| frmMain started, list shown, last entry picked | %d | %.1f | %s |\n", n,
                             peakMemory(n, false, false), n == 100000 ? "< 100 MB" : "");
            for (int n : sizes)
                std::fprintf(memory, "| the same, sealed | %d | %.1f | |\n", n, peakMemory(n, true, false));
            for (int n : sizes)
                std::fprintf(memory, "| the same, sealed, then a security check (its derivation) | %d | %.1f | |\n", n,
                             peakMemory(n, true, true));
            // The import keeps the file and a few bytes a row, never a string a field.
            const qsizetype shortRows = 16 * 1024 * 1024;
            std::fprintf(memory,
                         "| quillock-import's work: 16 MB of short rows, all stored | - | %.1f | < 5x the file |\n",
                         importPeakMemory("title,username,password,url\n", "n#,u#,p#,h#.example\n", shortRows));
            const qsizetype wide = 8 * 1024 * 1024;  // fields in the header and in the row
            std::fprintf(memory,
                         "| quillock-import's work: 32 MB, a header and one row of 8 million fields | - | %.1f | < 5x "
                         "the file |\n",
                         importPeakMemory("title,password" + QByteArray(",x").repeated(wide - 2) + "\n",
                                          "a,b" + QByteArray(",y").repeated(wide - 2) + "\n", 2 * 2 * wide));
        }
        std::fclose(memory);
        table = QByteArray(buffer, qsizetype(length));
        std::free(buffer);
    }
    std::printf("\n%s", table.constData());
    if (!tableFile.isEmpty()) {
        QFile out(tableFile);
        if (!out.open(QIODevice::WriteOnly) || out.write(table) != table.size())
            die(QStringLiteral("cannot write %1").arg(tableFile));
    }
    return 0;
}
