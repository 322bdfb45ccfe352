#include "vaultgen.h"

#include "vault/apperror.h"
#include "vault/sqlite.h"
#include "vault/stringcipher.h"
#include "vault/vaultstore.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <cstdio>
#include <random>

namespace {

// Letters people put in account names: Latin with accents, Greek, Cyrillic
// and a few CJK characters, in both cases where the script has them.
const QString Letters = QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                       "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                       "éèêëàâäôöüçñÉÈÀÇÖÜ"
                                       "αβγδεζηθλμπσωΑΒΓΔΣΩ"
                                       "абвгдежзиклмнопрстАБВГДЕЖЗИК"
                                       "銀行郵便会社");
const QString Plain = QStringLiteral("abcdefghijklmnopqrstuvwxyz0123456789");
const QString Symbols = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!#$%&*+-=?@^_");
const QStringList Words = {QStringLiteral("account"),
                           QStringLiteral("renewed"),
                           QStringLiteral("security"),
                           QStringLiteral("question"),
                           QStringLiteral("mother's"),
                           QStringLiteral("maiden"),
                           QStringLiteral("name"),
                           QStringLiteral("pin"),
                           QStringLiteral("changed"),
                           QStringLiteral("in"),
                           QStringLiteral("March"),
                           QStringLiteral("shared"),
                           QStringLiteral("with"),
                           QStringLiteral("family"),
                           QStringLiteral("card"),
                           QStringLiteral("ends"),
                           QStringLiteral("Überweisung"),
                           QStringLiteral("пароль"),
                           QStringLiteral("<b>"),
                           QStringLiteral("&"),
                           QStringLiteral("support"),
                           QStringLiteral("phone"),
                           QStringLiteral("+44 20 7946 0000"),
                           QStringLiteral("the"),
                           QStringLiteral("old"),
                           QStringLiteral("one"),
                           QStringLiteral("was"),
                           QStringLiteral("\"quoted\"")};

class Generator {
public:
    explicit Generator(unsigned seed) : random_(seed) { }

    int between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    QString pick(const QString& from, int length)
    {
        QString text;
        text.reserve(length);
        for (int i = 0; i < length; ++i)
            text += from.at(between(0, int(from.size()) - 1));
        return text;
    }

    QString name()
    {
        // Words of a few letters with spaces between, first letters often capitals.
        const int length = between(10, 40);
        QString text = pick(Letters, length);
        for (int i = between(3, 8); i < length - 1; i += between(4, 9))
            text[i] = QLatin1Char(' ');
        return text;
    }

    QString prose(int maxLength)
    {
        const int length = between(0, maxLength);
        QString text;
        while (text.size() < length) {
            text += Words.at(between(0, int(Words.size()) - 1));
            const int gap = between(0, 11);
            text += gap == 0 ? QStringLiteral("\r\n") : gap == 1 ? QStringLiteral("\n") : QStringLiteral(" ");
        }
        return text.left(length);
    }

    AccountFields account()
    {
        AccountFields f;
        f.account = name();
        f.username = Encrypt(pick(Plain, between(4, 12)) + QStringLiteral("@") + pick(Plain, between(4, 10))
                             + QStringLiteral(".example"));
        f.password = Encrypt(pick(Symbols, between(8, 24)));
        const int host = between(0, 9);
        f.url = host == 0
            ? QStringLiteral("http://")
            : QStringLiteral("http://www.%1.example/%2").arg(pick(Plain, between(4, 20)), pick(Plain, between(0, 60)));
        f.hint = prose(200);
        f.notes = prose(400);
        return f;
    }

private:
    std::mt19937 random_;
};

}  // namespace

void VaultGen::write(const QString& path, int count, unsigned seed)
{
    VaultStore::createFresh(path);
    Database db;
    db.open(path, VaultStore::DatabasePassword);
    Generator generate(seed);
    db.exec("begin immediate");
    {
        Statement master(db, "update master set password = ?, initialized = 1");
        master.bind(1, Encrypt(MasterPassword));
        master.step();
        Statement insert(db,
                         "insert into accounts (account, username, password, url, hint, notes) "
                         "values (?, ?, ?, ?, ?, ?)");
        for (int i = 0; i < count; ++i) {
            const AccountFields f = generate.account();
            insert.reset();
            insert.bind(1, f.account)
                .bind(2, f.username)
                .bind(3, f.password)
                .bind(4, f.url)
                .bind(5, f.hint)
                .bind(6, f.notes);
            insert.step();
        }
    }
    db.exec("commit");
}

QString VaultGen::cached(const QString& folder, int count)
{
    const QString path = QStringLiteral("%1/vault-%2-v1.mdb").arg(folder).arg(count);
    if (QFile::exists(path))
        return path;
    QDir().mkpath(folder);
    const QString scratch = path + QStringLiteral(".tmp");
    QFile::remove(scratch);
    std::fprintf(stderr, "generating a vault of %d accounts...\n", count);
    write(scratch, count);
    if (!QFile::rename(scratch, path))
        throw AppError(ErrorCode::PathAccess, QStringLiteral("Cannot keep %1.").arg(path), ErrorSource::Files);
    return path;
}
