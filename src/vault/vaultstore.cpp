#include "vault/vaultstore.h"

#include "vault/apperror.h"
#include "vault/fileops.h"
#include "vault/sealkeys.h"
#include "vault/sealrecord.h"
#include "vault/stringcipher.h"
#include "vault/vaultlock.h"
#include "vault/vaultschema.h"
#include "vault/wipe.h"

#include <QFileInfo>
#include <QScopeGuard>
#include <QStringList>
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <sys/mman.h>
#include <utility>

namespace {

// Compaction's private folders, beside the file it replaces.
const QString CompactionFolderPrefix = QStringLiteral(".quillock-compact-");

// Statements on whole accounts name the columns as the schema lists them,
// which is the order of AccountFields too. `each` shapes one column.
QByteArray accountColumns(const char* each = "%1")
{
    return VaultSchema::columnList(VaultSchema::Accounts, each);
}

const char* selectAccounts()
{
    static const QByteArray sql = "select rowid, " + accountColumns() + " from accounts";
    return sql.constData();
}

const char* accountById()
{
    static const QByteArray sql = selectAccounts() + QByteArray(" where rowid = ?");
    return sql.constData();
}

const char* insertAccount()
{
    static const QByteArray sql =
        "insert into accounts (" + accountColumns() + ") values (" + accountColumns("?") + ")";
    return sql.constData();
}

const char* updateAccount()
{
    static const QByteArray sql = "update accounts set " + accountColumns("%1 = ?") + " where rowid = ?";
    return sql.constData();
}

// The fields as parameters 1 to 6, in the columns' order.
void bindAccount(Statement& statement, const AccountFields& f)
{
    statement.bind(1, f.account).bind(2, f.username).bind(3, f.password).bind(4, f.url).bind(5, f.hint);
    statement.bind(6, f.notes);
}

// More changes than this are not worth replaying: the list is copied afresh.
constexpr std::size_t ChangesKept = 256;

// The whole vault into the empty file `copy`, through sqlcipher_export.
void exportInto(Database& source, const QString& copy)
{
    source.setGuard(Database::Guard::Compaction);
    // The copy is written in the vault's own format, never the engine's newer one.
    source.exec("pragma cipher_default_compatibility = 3");
    // With no key of its own the copy takes the vault's: the same derived
    // key and salt, so nothing is derived again and the file still opens
    // with the database password.
    Statement attach(source, "attach database ? as compacted");
    attach.bind(1, copy);
    attach.step();
    source.exec("pragma compacted.cipher_compatibility = 3");
    // Nobody sees the copy before it is complete and synced whole
    // (FileOps::syncFile): each of the export's commits need not sync it.
    source.exec("pragma compacted.synchronous = off");
    Statement exportAll(source, "select sqlcipher_export('compacted')");
    exportAll.step();
    source.exec("detach database compacted");
}

// The vault keyed with the key derived beforehand; when that no longer
// fits the file (another salt by now), the way every tool opens it, which
// also gives any error as it always did.
void openKeyed(Database& db, const QString& path, const VaultKey& key)
{
    if (!key.isEmpty()) {
        try {
            db.open(path, key.spec());
            return;
        } catch (const AppError& error) {
            if (error.code() != ErrorCode::UnrecognizedFormat)
                throw;
        }
    }
    db.open(path, VaultStore::DatabasePassword);
}

[[noreturn]] void raiseMasterRowMissing()
{
    throw AppError(ErrorCode::NoCurrentRecord, QStringLiteral("No current record: the master row is missing."),
                   ErrorSource::Store);
}

// Every list rebuild reads and deciphers the whole table; with room for
// all of it only the first one pays, and the schema check's pass over the
// values leaves the pages there for the compaction's export or the first
// list. A vault too large for the room would only push pages out in a
// scan, so it keeps SQLite's default.
void sizePageCache(Database& db)
{
    constexpr qint64 Room = 48 * 1024 * 1024;
    const qint64 size = QFileInfo(db.path()).size();
    if (size <= 0 || size > Room)
        return;
    const qint64 kib = std::min(Room, size + size / 4 + 1024 * 1024) / 1024;
    db.exec(QStringLiteral("pragma cache_size = -%1").arg(kib).toUtf8().constData());
}

// The whole check of a file about to be read: its schema, its seal, and
// what the user's record says the vault at that path must be.
std::optional<SealRow> requireTrusted(Database& db, const QString& path, VaultSchema::Values values)
{
    sizePageCache(db);
    std::optional<SealRow> seal = VaultSchema::require(db, values);
    SealRecord::check(path, seal ? seal->publicKeyText() : SealRecord::Plain);
    return seal;
}

// The seal row's values as parameters 1 to 6, in the columns' order.
void bindSealRow(Statement& statement, const SealRow& row)
{
    statement.bind(1, VaultSchema::SealVersion).bind(2, row.publicKeyText());
    statement.bind(3, sealBase64(row.salt.data(), row.salt.size())).bind(4, qint64(row.limits.ops));
    statement.bind(5, qint64(row.limits.mem));
    statement.bind(6, sealBase64(row.boxedSecretKey.data(), row.boxedSecretKey.size()));
}

[[noreturn]] void cipherFailure(const QString& why)
{
    throw AppError(ErrorCode::CipherFailure, why, ErrorSource::Cipher);
}

[[noreturn]] void wrongMasterPassword()
{
    cipherFailure(QStringLiteral("That is not the vault's master password."));
}

// How many passwords a conversion changes between two progress reports.
constexpr qint64 ProgressEvery = 500;

AccountRow readRow(const Statement& query)
{
    return AccountRow{query.integer(0),
                      {query.text(1), query.text(2), query.text(3), query.text(4), query.text(5), query.text(6)}};
}

// A block of rows held by forEachStoredAccount, straight from the kernel in
// huge pages where it gives them: touching 60 MB page by page costs some
// 15,000 faults, each dear on a virtual machine. Zeroed before it goes.
class RowBlock {
public:
    static constexpr std::size_t Bytes = std::size_t(8) << 20;
    explicit RowBlock(std::size_t least) : size_(std::max(Bytes, (least + Bytes - 1) / Bytes * Bytes))
    {
        void* block = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED)
            throw std::bad_alloc();
        ::madvise(block, size_, MADV_HUGEPAGE);
        data_ = static_cast<char*>(block);
    }
    ~RowBlock()
    {
        sodium_memzero(data_, used_);
        ::munmap(data_, size_);
    }
    RowBlock(const RowBlock&) = delete;
    RowBlock& operator=(const RowBlock&) = delete;

    // Room for `bytes` more, or null.
    char* take(std::size_t bytes)
    {
        if (size_ - used_ < bytes)
            return nullptr;
        char* at = data_ + used_;
        used_ += bytes;
        return at;
    }

private:
    std::size_t size_;
    std::size_t used_ = 0;
    char* data_ = nullptr;
};

}  // namespace

void VaultStore::createFresh(const QString& path)
{
    if (FileOps::exists(path))
        FileOps::raiseExists(path);
    // Whole or not at all, and ours before SQLite sees it, so the vault is
    // born readable by its owner only: the fixed database password protects
    // nothing by itself.
    FileOps::writeFile(path, FileOps::Placement::NewWhole, [](FileOps::FileOutput& output) {
        Database db;
        db.open(output.writingPath(), DatabasePassword, /*create=*/true);
        for (const VaultSchema::Table* table : {&VaultSchema::Accounts, &VaultSchema::Master})
            db.exec(VaultSchema::createStatement(*table).toUtf8().constData());
        db.exec("insert into master (key, password, initialized) values ('master', '', 0)");
    });
}

void VaultStore::compact(const QString& vaultPath, const QString& targetPath, const VaultKey& key)
{
    Database source;
    openKeyed(source, vaultPath, key);
    // Nothing but the vault's tables may reach the copy, nor run on the way.
    requireTrusted(source, vaultPath, VaultSchema::Values::Measure);
    // Another name of the file would go on holding the old content.
    if (FileOps::linkCount(vaultPath) > 1)
        throw AppError(
            ErrorCode::Busy,
            QStringLiteral("The vault '%1' has more than one name (hard links); it is used as it is.").arg(vaultPath),
            ErrorSource::Files);
    // Through a symbolic link the copy is made beside the file the link
    // points to and replaces that file at once: the link stays a link.
    const bool linked = FileOps::isSymlink(vaultPath);
    const QString realVault = linked ? FileOps::resolved(vaultPath) : vaultPath;
    if (!linked && FileOps::exists(targetPath))
        throw AppError(ErrorCode::DatabaseFailure, QStringLiteral("Database '%1' already exists.").arg(targetPath),
                       ErrorSource::Files);
    const QString workFolder = QFileInfo(linked ? realVault : targetPath).absolutePath();
    // SQLite opens an attached file by its name and follows links on the
    // way. The copy is therefore created inside a folder that only this user
    // can enter, where nobody can put a link in its place before the attach.
    // Folders an interrupted start left there are ours to remove; their
    // names never repeat, so a leftover cannot stand in the way.
    FileOps::removePrivateFolders(workFolder, CompactionFolderPrefix);
    try {
        const QString privateFolder = FileOps::createPrivateFolder(workFolder, CompactionFolderPrefix);
        // Closing drops the attached copy, also when the export failed.
        const auto cleanUp = qScopeGuard([&] {
            source.close();
            FileOps::removePrivateFolder(privateFolder);
        });
        const QString copy = privateFolder + QLatin1Char('/') + QFileInfo(targetPath).fileName();
        FileOps::createEmpty(copy);
        exportInto(source, copy);
        source.close();
        FileOps::syncFile(copy);
        FileOps::rename(copy, linked ? realVault : targetPath);
        if (linked)
            FileOps::syncFolderOf(realVault);
    } catch (const AppError& error) {
        // A full disk is a target that cannot be written, like a read-only
        // folder: the vault itself is intact.
        if (error.code() != ErrorCode::DiskFull)
            throw;
        throw AppError(
            ErrorCode::PathAccess,
            QStringLiteral("The compacted copy '%1' cannot be written: %2").arg(targetPath, error.description()),
            ErrorSource::Store);
    }
}

void VaultStore::replaceVault(const QString& compactedPath, const QString& vaultPath)
{
    FileOps::rename(compactedPath, vaultPath);
    FileOps::syncFolderOf(vaultPath);
}

std::unique_ptr<VaultStore> VaultStore::open(const QString& path, VaultSchema::Values values, const VaultKey& key)
{
    std::unique_ptr<VaultStore> store(new VaultStore);
    openKeyed(store->db_, path, key);
    const std::optional<SealRow> seal = requireTrusted(store->db_, path, values);
    FileOps::restrictToOwner(path);
    if (seal) {
        store->recipient_ = std::make_unique<SealRecipient>(seal->publicKey);
        // A password rewritten or deleted leaves nothing of its old form behind.
        store->db_.exec("pragma secure_delete = on");
    }
    return store;
}

VaultStore::VaultStore() = default;
VaultStore::~VaultStore() = default;

qint64 VaultStore::dataVersion()
{
    Statement pragma(db_, "pragma data_version");
    pragma.step();
    return pragma.integer(0);
}

bool VaultStore::orderCurrent()
{
    return orderValid_ && dataVersion() == orderVersion_;
}

void VaultStore::readOrder()
{
    // The version is read before the rows: a commit in between makes the
    // order look stale (a needless read), never current when it is not.
    orderValid_ = false;
    const qint64 version = dataVersion();
    // The scan comes by row id: each row is matched against the kept entry
    // of that id, and only a name that changed is converted and placed.
    // Until a row differs, `rows` stays empty: it would be kept[0, next).
    const std::vector<AccountEntry>& kept = order_.byRowid();
    std::vector<AccountEntry> rows;
    std::vector<AccountEntry> gone;
    std::vector<AccountEntry> came;
    std::size_t next = 0;
    bool same = true;
    const auto differ = [&] {
        if (same) {
            rows.reserve(AccountOrder::withRoom(kept.size()));
            rows.assign(kept.begin(), kept.begin() + std::ptrdiff_t(next));
            same = false;
        }
    };
    // Past ChangesKept, or with rows out of row id order, the order is built
    // afresh and what changed is no longer kept.
    bool few = true;
    const auto note = [&few, &gone, &came](std::vector<AccountEntry>& to, const AccountEntry& entry) {
        few = few && gone.size() + came.size() < ChangesKept;
        if (few)
            to.push_back(entry);
    };
    std::optional<qint64> lastRowid;
    Statement query(db_, "select rowid, account from accounts");
    while (query.step()) {
        const qint64 rowid = query.integer(0);
        const QByteArrayView bytes = query.utf8(1);
        const QUtf8StringView name(bytes.data(), bytes.size());
        few = few && (!lastRowid || *lastRowid < rowid);
        lastRowid = rowid;
        if (next < kept.size() && kept[next].rowid == rowid
            && QAnyStringView(kept[next].account) == QAnyStringView(name)) {
            if (!same)
                rows.push_back(kept[next]);
            ++next;
            continue;
        }
        differ();
        while (next < kept.size() && kept[next].rowid < rowid)
            note(gone, kept[next++]);
        if (next < kept.size() && kept[next].rowid == rowid)
            note(gone, kept[next++]);
        rows.push_back({rowid, name.toString()});
        note(came, rows.back());
    }
    if (next < kept.size())
        differ();
    while (next < kept.size())
        note(gone, kept[next++]);
    if (same) {
        orderVersion_ = version;
        orderValid_ = true;
        return;
    }

    // A few entries move as our own writes move theirs, and the list follows
    // them.
    for (std::size_t i = 0; few && i < gone.size(); ++i) {
        const auto index = order_.indexOf(gone[i]);
        if (index)
            noteRemoved(*index);
        else
            few = false;
    }
    if (few) {
        for (AccountEntry& entry : came)
            noteInserted(std::move(entry));
        order_.keepByRowid(std::move(rows));
    } else {
        AccountOrder fresh;
        fresh.assign(std::move(rows));
        if (!fresh.sameEntries(order_)) {
            ++orderGeneration_;
            changes_.clear();
        }
        order_ = std::move(fresh);
    }
    orderVersion_ = version;
    orderValid_ = true;
}

const AccountOrder& VaultStore::accountOrder()
{
    if (!orderCurrent())
        readOrder();
    return order_;
}

std::vector<AccountEntry> VaultStore::accountList()
{
    const AccountOrder& order = accountOrder();
    std::vector<AccountEntry> entries;
    entries.reserve(order.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        entries.push_back(order.at(i));
    return entries;
}

std::vector<ListChange> VaultStore::takeListChanges()
{
    return std::exchange(changes_, {});
}

void VaultStore::noteRemoved(std::size_t index)
{
    changes_.push_back({ListChange::Kind::Removed, index, order_.at(index)});
    order_.removeAt(index);
}

void VaultStore::noteInserted(AccountEntry entry)
{
    const std::size_t index = order_.insert(entry);
    changes_.push_back({ListChange::Kind::Inserted, index, std::move(entry)});
    if (changes_.size() > ChangesKept) {
        changes_.clear();
        ++orderGeneration_;
    }
}

bool VaultStore::isInitialized()
{
    Statement query(db_, "select initialized from master");
    if (!query.step())
        raiseMasterRowMissing();
    // True exactly when the field holds a true Boolean; Null and text are not.
    return query.isInteger(0) && query.integer(0) != 0;
}

QString VaultStore::storedMasterPassword()
{
    Statement query(db_, "select password from master where key = 'master'");
    if (!query.step())
        raiseMasterRowMissing();
    return query.text(0);
}

void VaultStore::storeMasterPassword(const QString& cipherText, bool markInitialized)
{
    Transaction transaction(db_);
    setMasterRow(cipherText, markInitialized);
    transaction.commit();
}

void VaultStore::setMasterRow(const QString& cipherText, bool markInitialized)
{
    Statement first(db_, "select rowid from master limit 1");
    if (!first.step())
        raiseMasterRowMissing();
    const qint64 rowid = first.integer(0);
    Statement update(db_,
                     markInitialized ? "update master set password = ?, initialized = 1 where rowid = ?"
                                     : "update master set password = ? where rowid = ?");
    update.bind(1, cipherText).bind(2, rowid);
    update.changeOneRow();
}

void VaultStore::requireSealOpen() const
{
    if (!identity_)
        cipherFailure(QStringLiteral("The sealed vault is locked: no security check has opened it."));
}

SealRow VaultStore::currentSealRow()
{
    SealRow row = VaultSchema::readSealRow(db_);
    // Another key put in since the vault was opened would take every later add.
    if (row.publicKey != recipient_->publicKey())
        raiseVaultDamaged(db_, QStringLiteral("its public key has changed since it was opened"));
    return row;
}

bool VaultStore::masterPasswordOpens(const QString& entry)
{
    if (isSealed()) {
        identity_.reset();
        identity_ = SealIdentity::unlock(db_, currentSealRow(), entry);
        return identity_ != nullptr;
    }
    QString stored = Decrypt(storedMasterPassword());
    const bool match = entry == stored;
    Secrets::wipe(stored);
    return match;
}

void VaultStore::lockSeal()
{
    identity_.reset();
}

QString VaultStore::currentMasterPassword()
{
    if (!isSealed())
        return Decrypt(storedMasterPassword());
    requireSealOpen();
    return identity_->master();
}

QString VaultStore::openPassword(const QString& stored)
{
    if (!isSealed())
        return decryptField(stored);
    requireSealOpen();
    return identity_->open(stored);
}

QString VaultStore::passwordToStore(const QString& plain)
{
    return isSealed() ? recipient_->seal(plain) : Encrypt(plain);
}

void VaultStore::changeMasterPassword(const QString& master, bool markInitialized)
{
    if (!isSealed()) {
        storeMasterPassword(Encrypt(master), markInitialized);
        return;
    }
    // The same master password again keeps the key pair it has.
    QString current = currentMasterPassword();
    const bool same = current == master;
    Secrets::wipe(current);
    if (!same)
        rekey(master);
}

qint64 VaultStore::rewritePasswords(const std::function<QString(const QString&)>& convert, const Progress& progress)
{
    std::vector<std::pair<qint64, QString>> rows;
    {
        Statement query(db_, "select rowid, password from accounts where password <> ''");
        while (query.step())
            rows.emplace_back(query.integer(0), query.text(1));
    }
    const qint64 total = qint64(rows.size());
    Statement update(db_, "update accounts set password = ? where rowid = ?");
    qint64 done = 0;
    for (const auto& [rowid, stored] : rows) {
        update.bind(1, convert(stored)).bind(2, rowid);
        update.changeOneRow();
        update.reset();
        if (progress && ++done % ProgressEvery == 0)
            progress(done, total);
    }
    if (progress)
        progress(total, total);
    return total;
}

qint64 VaultStore::changeEveryPassword(const std::function<qint64()>& work)
{
    std::optional<VaultLock> own;
    if (!lock_)
        own.emplace(path());
    const VaultLock::Alone alone(lock_ ? *lock_ : *own);
    // Creating or dropping the seal table, with freed space zeroed so that
    // no old value stays behind in the file.
    const Database::Guard before = db_.guard();
    db_.setGuard(Database::Guard::Sealing);
    const auto restore = qScopeGuard([&] { db_.setGuard(before); });
    db_.exec("pragma secure_delete = on");
    forgetOrder();
    Transaction transaction(db_);
    const qint64 changed = work();
    transaction.commit();
    return changed;
}

qint64 VaultStore::seal(const QString& current, const QString& master, const Progress& progress)
{
    if (isSealed())
        throw AppError(ErrorCode::DatabaseFailure, QStringLiteral("The vault is sealed already."), ErrorSource::Store);
    if (!isInitialized())
        throw AppError(ErrorCode::NoCurrentRecord,
                       QStringLiteral("The vault has no master password yet; start Quillock once to choose one."),
                       ErrorSource::Store);
    if (!masterPasswordOpens(current))
        wrongMasterPassword();
    if (master == current)
        throw AppError(ErrorCode::CipherFailure,
                       QStringLiteral("The new master password must differ from the current one, which every "
                                      "plain copy of the vault gives away."),
                       ErrorSource::Cipher);
    const auto identity = SealIdentity::generate(master);
    const SealRow row = identity->enclose(SealRow::DefaultLimits);
    SealRecipient writer(row.publicKey);
    const qint64 sealed = changeEveryPassword([&] {
        db_.exec(VaultSchema::createStatement(VaultSchema::Seal).toUtf8().constData());
        const QByteArray sql = "insert into seal (" + VaultSchema::columnList(VaultSchema::Seal) + ") values ("
            + VaultSchema::columnList(VaultSchema::Seal, "?") + ")";
        Statement insert(db_, sql.constData());
        bindSealRow(insert, row);
        insert.changeOneRow();
        const qint64 total = rewritePasswords(
            [&](const QString& stored) {
                QString plain = Decrypt(stored);
                const QString sealedText = writer.seal(plain);
                Secrets::wipe(plain);
                return sealedText;
            },
            progress);
        setMasterRow(QString(), false);
        return total;
    });
    recipient_ = std::make_unique<SealRecipient>(row.publicKey);
    SealRecord::settle(path(), row.publicKeyText());
    return sealed;
}

qint64 VaultStore::unseal(const QString& master, const Progress& progress)
{
    if (!isSealed())
        throw AppError(ErrorCode::DatabaseFailure, QStringLiteral("The vault is not sealed."), ErrorSource::Store);
    // A caller that has just checked the entry has opened the vault with it.
    if (!(identity_ && identity_->master() == master) && !masterPasswordOpens(master))
        wrongMasterPassword();
    // A crash after the commit leaves a plain vault that the record accepts.
    SealRecord::allow(path(), SealRecord::Plain);
    const qint64 opened = changeEveryPassword([&] {
        const qint64 total = rewritePasswords(
            [&](const QString& stored) {
                QString plain = identity_->open(stored);
                const QString enciphered = Encrypt(plain);
                Secrets::wipe(plain);
                return enciphered;
            },
            progress);
        setMasterRow(Encrypt(master), false);
        db_.exec("drop table seal");
        return total;
    });
    identity_.reset();
    recipient_.reset();
    SealRecord::settle(path(), SealRecord::Plain);
    return opened;
}

qint64 VaultStore::rekey(const QString& master, const Progress& progress)
{
    requireSealOpen();
    const SealRow current = currentSealRow();
    // Limits raised since the vault was sealed apply from the next change on.
    const SealRow::Limits limits{std::max(current.limits.ops, SealRow::DefaultLimits.ops),
                                 std::max(current.limits.mem, SealRow::DefaultLimits.mem)};
    auto fresh = SealIdentity::generate(master);
    const SealRow row = fresh->enclose(limits);
    auto writer = std::make_unique<SealRecipient>(row.publicKey);
    // A crash after the commit leaves a vault that the record accepts.
    SealRecord::allow(path(), row.publicKeyText());
    const qint64 resealed = changeEveryPassword([&] {
        const qint64 total = rewritePasswords(
            [&](const QString& stored) {
                QString plain = identity_->open(stored);
                const QString sealedText = writer->seal(plain);
                Secrets::wipe(plain);
                return sealedText;
            },
            progress);
        const QByteArray sql = "update seal set " + VaultSchema::columnList(VaultSchema::Seal, "%1 = ?");
        Statement update(db_, sql.constData());
        bindSealRow(update, row);
        update.changeOneRow();
        return total;
    });
    // The writer's shared key would open every password; the session's adds
    // get a writer of their own.
    writer.reset();
    recipient_ = std::make_unique<SealRecipient>(row.publicKey);
    identity_ = std::move(fresh);
    SealRecord::settle(path(), row.publicKeyText());
    return resealed;
}

std::optional<AccountRow> VaultStore::accountAt(qint64 position)
{
    if (position < 1)
        return std::nullopt;
    const AccountOrder& order = accountOrder();
    if (position > qint64(order.size()))
        return std::nullopt;
    Statement byId(db_, accountById());
    byId.bind(1, order.at(std::size_t(position - 1)).rowid);
    if (byId.step())
        return readRow(byId);
    // Cannot happen while the version holds; read the order again and answer from that.
    forgetOrder();
    const AccountOrder& fresh = accountOrder();
    if (position > qint64(fresh.size()))
        return std::nullopt;
    Statement again(db_, accountById());
    again.bind(1, fresh.at(std::size_t(position - 1)).rowid);
    if (!again.step())
        return std::nullopt;
    return readRow(again);
}

void VaultStore::forEachStoredAccount(const std::function<void(qint64 rowid, const StoredValues&)>& visit)
{
    // One pass over the table in its own order, kept as SQLite gives it,
    // then the rows from memory in list order. Reading row by row in list
    // order visits the pages in no order at all, and a vault larger than
    // the page cache decrypts most of them again and again.
    Transaction snapshot(db_, Transaction::Kind::Read);
    const AccountOrder& order = accountOrder();
    std::vector<std::pair<qint64, std::size_t>> places(order.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        places[i] = {order.at(i).rowid, i};
    std::sort(places.begin(), places.end());

    // Each row is its six values as stored (the username and password
    // still enciphered), each a length and its UTF-8, in blocks that never
    // move: 59 MB at 100,000 accounts of 10 to 600 characters.
    std::vector<std::unique_ptr<RowBlock>> blocks;
    std::vector<const char*> rows(order.size(), nullptr);
    {
        Statement all(db_, selectAccounts());
        while (all.step()) {
            const auto place =
                std::lower_bound(places.begin(), places.end(), std::pair(all.integer(0), std::size_t(0)));
            if (place == places.end() || place->first != all.integer(0))
                continue;
            std::size_t bytes = 0;
            for (int c = 1; c <= 6; ++c)
                bytes += sizeof(quint32) + std::size_t(all.utf8(c).size());
            char* at = blocks.empty() ? nullptr : blocks.back()->take(bytes);
            if (!at) {
                blocks.push_back(std::make_unique<RowBlock>(bytes));
                at = blocks.back()->take(bytes);
            }
            rows[place->second] = at;
            for (int c = 1; c <= 6; ++c) {
                const QByteArrayView value = all.utf8(c);
                // A value is at most the 4 MB the schema check lets in.
                const auto size = quint32(value.size());
                std::memcpy(at, &size, sizeof size);
                if (size > 0)
                    std::memcpy(at + sizeof size, value.data(), std::size_t(size));
                at += sizeof size + std::size_t(size);
            }
        }
    }
    StoredValues values;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const char* at = rows[i];
        if (!at)
            continue;
        for (QByteArrayView& value : values) {
            quint32 size = 0;
            std::memcpy(&size, at, sizeof size);
            value = QByteArrayView(at + sizeof size, qsizetype(size));
            at += sizeof size + std::size_t(size);
        }
        visit(order.at(i).rowid, values);
    }
    snapshot.commit();
}

void VaultStore::forEachAccount(const std::function<void(const AccountRow&)>& visit)
{
    AccountRow row;
    forEachStoredAccount([&](qint64 rowid, const StoredValues& values) {
        row.rowid = rowid;
        AccountFields& f = row.fields;
        QString* const fields[] = {&f.account, &f.username, &f.password, &f.url, &f.hint, &f.notes};
        for (std::size_t c = 0; c < values.size(); ++c)
            *fields[c] = QString::fromUtf8(values[c]);
        visit(row);
    });
}

qint64 VaultStore::appendAccount(const AccountFields& f)
{
    Transaction transaction(db_);
    // Under the write lock no other copy can commit in between.
    const bool current = orderCurrent();
    Statement insert(db_, insertAccount());
    bindAccount(insert, f);
    insert.changeOneRow();
    const qint64 rowid = sqlite3_last_insert_rowid(db_.handle());
    transaction.commit();
    if (current)
        noteInserted({rowid, f.account});
    else
        forgetOrder();
    return rowid;
}

qint64 VaultStore::appendAccounts(const std::function<void(const AccountRow&)>& visitStored,
                                  const std::function<bool(AccountFields&)>& next)
{
    forgetOrder();
    Transaction transaction(db_);
    if (visitStored) {
        Statement query(db_, selectAccounts());
        while (query.step())
            visitStored(readRow(query));
    }
    Statement insert(db_, insertAccount());
    qint64 appended = 0;
    AccountFields f;
    while (next(f)) {
        bindAccount(insert, f);
        insert.changeOneRow();
        insert.reset();
        ++appended;
    }
    transaction.commit();
    return appended;
}

bool VaultStore::updateAccountAt(qint64 position, qint64 expectedRowid, const AccountFields& f)
{
    Transaction transaction(db_);
    // Under the write lock the order checked here is the vault's own.
    const auto row = accountAt(position);
    if (!row || row->rowid != expectedRowid)
        return false;
    Statement update(db_, updateAccount());
    bindAccount(update, f);
    update.bind(7, expectedRowid);
    update.changeOneRow();
    transaction.commit();
    if (f.account != row->fields.account) {
        noteRemoved(std::size_t(position - 1));
        noteInserted({expectedRowid, f.account});
    }
    return true;
}

bool VaultStore::deleteAccountAt(qint64 position, qint64 expectedRowid)
{
    Transaction transaction(db_);
    const auto row = accountAt(position);
    if (!row || row->rowid != expectedRowid)
        return false;
    Statement remove(db_, "delete from accounts where rowid = ?");
    remove.bind(1, expectedRowid);
    remove.changeOneRow();
    transaction.commit();
    noteRemoved(std::size_t(position - 1));
    return true;
}
