#include "vault/vaultschema.h"

#include "vault/apperror.h"
#include "vault/sqlite.h"

#include <QSet>
#include <QStringList>
#include <algorithm>
#include <cstring>

namespace {

struct SchemaRow {
    QString type;
    QString name;
    QString table;
    qint64 rootpage = 0;
    QString sql;
};

struct Token {
    enum class Kind { Word, Quoted, Symbol } kind;
    QString text;
};

[[noreturn]] void refuse(const Database& db, const QString& what)
{
    throw AppError(ErrorCode::UntrustedVault,
                   QStringLiteral("The vault '%1' holds %2, which Quillock never puts there; it was left as it is.")
                       .arg(db.path(), what),
                   ErrorSource::Store);
}

bool isWord(const Token& token, const char* word)
{
    return token.kind == Token::Kind::Word && token.text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0;
}

bool isSymbol(const Token& token, char symbol)
{
    return token.kind == Token::Kind::Symbol && token.text == QLatin1Char(symbol);
}

// SQLite's own white space; anything else outside ASCII belongs to a name.
bool isSqlSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\f')
        || c == QLatin1Char('\r');
}

bool isNameCharacter(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('$') || c.unicode() >= 0x80;
}

// Past white space and comments from `i`.
qsizetype skipBlank(const QString& sql, qsizetype i)
{
    while (i < sql.size()) {
        if (isSqlSpace(sql.at(i))) {
            ++i;
        } else if (sql.mid(i, 2) == QLatin1String("--")) {
            const qsizetype end = sql.indexOf(QLatin1Char('\n'), i);
            i = end < 0 ? sql.size() : end + 1;
        } else if (sql.mid(i, 2) == QLatin1String("/*")) {
            const qsizetype end = sql.indexOf(QLatin1String("*/"), i + 2);
            i = end < 0 ? sql.size() : end + 2;
        } else {
            break;
        }
    }
    return i;
}

// The quoted name or string opening at `i`, its quotes undone; -1 as the
// end when it is never closed.
qsizetype readQuoted(const QString& sql, qsizetype i, QString& text)
{
    const QChar open = sql.at(i);
    const QChar close = open == QLatin1Char('[') ? QLatin1Char(']') : open;
    for (qsizetype j = i + 1; j < sql.size(); ++j) {
        if (sql.at(j) != close) {
            text += sql.at(j);
        } else if (close != QLatin1Char(']') && j + 1 < sql.size() && sql.at(j + 1) == close) {
            text += close;  // a doubled quote stands for itself
            ++j;
        } else {
            return j + 1;
        }
    }
    return -1;
}

// SQL as SQLite splits it: quoted names and strings whole, comments dropped.
// Empty when a quote is never closed.
std::vector<Token> tokenize(const QString& sql)
{
    static const QString Quotes = QStringLiteral("'\"`[");
    std::vector<Token> tokens;
    for (qsizetype i = skipBlank(sql, 0); i < sql.size(); i = skipBlank(sql, i)) {
        const QChar c = sql.at(i);
        if (Quotes.contains(c)) {
            QString text;
            i = readQuoted(sql, i, text);
            if (i < 0)
                return {};
            tokens.push_back({Token::Kind::Quoted, text});
        } else if (isNameCharacter(c)) {
            qsizetype end = i;
            while (end < sql.size() && isNameCharacter(sql.at(end)))
                ++end;
            tokens.push_back({Token::Kind::Word, sql.mid(i, end - i)});
            i = end;
        } else {
            tokens.push_back({Token::Kind::Symbol, QString(c)});
            ++i;
        }
    }
    return tokens;
}

// What a clause that a fresh vault's table never has is called; empty for
// a word that opens no clause.
QString clauseNamed(const Token& token, const Token* next)
{
    const std::pair<const char*, const char*> clauses[] = {
        {"CHECK", "a CHECK constraint"},    {"UNIQUE", "a UNIQUE constraint"},    {"PRIMARY", "a PRIMARY KEY"},
        {"NOT", "a NOT NULL constraint"},   {"NULL", "a NULL constraint"},        {"DEFAULT", "a default value"},
        {"ON", "a conflict clause"},        {"CONSTRAINT", "a named constraint"}, {"REFERENCES", "a foreign key"},
        {"FOREIGN", "a foreign key"},       {"AS", "a computed column"},          {"GENERATED", "a computed column"},
        {"AUTOINCREMENT", "AUTOINCREMENT"},
    };
    if (isWord(token, "COLLATE"))
        return QStringLiteral("the collation '%1'").arg(next ? next->text : QString());
    for (const auto& [word, clause] : clauses)
        if (isWord(token, word))
            return QLatin1String(clause);
    return {};
}

// The table's own text, "CREATE TABLE name (column type, ...)", with exactly
// the columns and types of `shape` in any order, and not one token more.
void requireExactDefinition(const Database& db, const SchemaRow& row, const VaultSchema::Table& shape)
{
    const QString table = row.name;
    const std::vector<Token> tokens = tokenize(row.sql);
    // sqlcipher_export rewrites the text from its 14th character on.
    if (!row.sql.startsWith(QLatin1String("CREATE TABLE ")) || tokens.size() < 6 || !isSymbol(tokens[3], '(')
        || !isSymbol(tokens.back(), ')'))
        refuse(db, QStringLiteral("an unusual definition of table '%1'").arg(table));
    const auto refuseClause = [&](size_t at) {
        const QString clause = clauseNamed(tokens[at], at + 1 < tokens.size() ? &tokens[at + 1] : nullptr);
        refuse(db,
               clause.isEmpty() ? QStringLiteral("an unusual definition of table '%1'").arg(table)
                                : QStringLiteral("%1 in table '%2'").arg(clause, table));
    };
    QSet<QString> seen;
    for (size_t i = 4; i < tokens.size(); i += 3) {
        const Token& name = tokens[i];
        const auto column = std::find_if(shape.columns.begin(), shape.columns.end(), [&](const auto& expected) {
            return name.kind != Token::Kind::Symbol
                && name.text.compare(QLatin1String(expected.first), Qt::CaseInsensitive) == 0;
        });
        if (column == shape.columns.end() || seen.contains(name.text.toLower()))
            refuseClause(i);
        seen.insert(name.text.toLower());
        if (i + 2 >= tokens.size() || !isWord(tokens[i + 1], column->second)) {
            if (i + 1 < tokens.size() && tokens[i + 1].kind == Token::Kind::Word)
                refuse(db, QStringLiteral("the column type '%1' in table '%2'").arg(tokens[i + 1].text, table));
            refuse(db, QStringLiteral("an unusual definition of table '%1'").arg(table));
        }
        const Token& after = tokens[i + 2];
        if (isSymbol(after, ')') && i + 3 == tokens.size())
            break;
        if (!isSymbol(after, ','))
            refuseClause(i + 2);
    }
    if (seen.size() != qsizetype(shape.columns.size()))
        refuse(db, QStringLiteral("an unusual definition of table '%1'").arg(table));
}

QString quoted(const QString& name)
{
    return QLatin1Char('\'') + QString(name).replace(QLatin1Char('\''), QLatin1String("''")) + QLatin1Char('\'');
}

// What SQLite itself made of the definition: the same columns and types,
// none hidden, none NOT NULL, none with a default or in a key.
void requireColumns(const Database& db, const VaultSchema::Table& shape)
{
    const QString table = QLatin1String(shape.name);
    const QByteArray sql = QStringLiteral("pragma table_xinfo(%1)").arg(table).toUtf8();
    Statement columns(db, sql.constData());
    QStringList found;
    while (columns.step()) {
        const QString name = columns.text(1);
        found << name.toLower();
        const auto expected = std::find_if(shape.columns.begin(), shape.columns.end(), [&](const auto& column) {
            return name.compare(QLatin1String(column.first), Qt::CaseInsensitive) == 0;
        });
        const bool plain = expected != shape.columns.end()
            && columns.text(2).compare(QLatin1String(expected->second), Qt::CaseInsensitive) == 0
            && columns.integer(3) == 0 && columns.isNull(4) && columns.integer(5) == 0 && columns.integer(6) == 0;
        if (!plain)
            refuse(db, QStringLiteral("an unusual column '%1' in table '%2'").arg(name, table));
    }
    if (found.size() != qsizetype(shape.columns.size()))
        refuse(db, QStringLiteral("a table '%1' with the columns %2").arg(table, found.join(QLatin1String(", "))));
}

bool isBuiltInCollation(const QString& name)
{
    for (const char* builtIn : {"BINARY", "NOCASE", "RTRIM"})
        if (name.compare(QLatin1String(builtIn), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

// Indexes made by CREATE INDEX only, on plain columns of the table, never
// unique or partial, with built-in collations; returns their names. A unique
// index refuses rows a fresh vault takes, and the import would stop half-way.
QSet<QString> requirePlainIndexes(const Database& db, const QString& table)
{
    QSet<QString> names;
    const QByteArray listSql = QStringLiteral("pragma index_list(%1)").arg(table).toUtf8();
    Statement list(db, listSql.constData());
    while (list.step()) {
        const QString index = list.text(1);
        names.insert(index);
        if (list.text(3) != QLatin1String("c"))
            refuse(db, QStringLiteral("an index '%1' that a constraint made").arg(index));
        if (list.integer(2) != 0)
            refuse(db, QStringLiteral("a UNIQUE index '%1'").arg(index));
        if (list.integer(4) != 0)
            refuse(db, QStringLiteral("a partial index '%1'").arg(index));
        const QByteArray infoSql = QStringLiteral("pragma index_xinfo(%1)").arg(quoted(index)).toUtf8();
        Statement info(db, infoSql.constData());
        while (info.step()) {
            if (info.integer(5) == 0)
                continue;  // the row id every index carries
            if (info.integer(1) == -2)
                refuse(db, QStringLiteral("an index '%1' on an expression").arg(index));
            if (!isBuiltInCollation(info.text(4)))
                refuse(db, QStringLiteral("an index '%1' with the collation '%2'").arg(index, info.text(4)));
        }
    }
    return names;
}

// SQLite refuses a value over the limit only when a statement loads it, and
// compaction copies rows whole without loading them: the values are measured
// here, from the rows' headers, before anything copies or shows them. The
// same pass finds the passwords' form: all sealed in a sealed vault, none in
// a plain one. The pass looks for one failing row and steps no aggregate
// for the rows that pass; only a vault about to be refused is counted.
void requireValuesWithinLimit(const Database& db, bool sealed)
{
    // Compared without calling anything: from the prefix up to the next one.
    const QString& prefix = VaultSchema::SealedPrefix;
    const QString sealedForm = QStringLiteral("password >= '%1' and password < '%2'")
                                   .arg(prefix, prefix.chopped(1) + QChar(prefix.back().unicode() + 1));
    for (const VaultSchema::Table* table : {&VaultSchema::Accounts, &VaultSchema::Master}) {
        QStringList oversized;
        for (const auto& column : table->columns)
            oversized << QStringLiteral("octet_length(%1) > ?1").arg(QLatin1String(column.first));
        const QString tooLarge = oversized.join(QLatin1String(" or "));
        const bool accounts = table == &VaultSchema::Accounts;
        const QString wrongForm = !accounts ? QString()
            : sealed                        ? QStringLiteral("password <> '' and not (%1)").arg(sealedForm)
                                            : sealedForm;
        const QString name = QLatin1String(table->name);
        {
            const QString failing = accounts ? QStringLiteral("%1 or (%2)").arg(tooLarge, wrongForm) : tooLarge;
            const QByteArray sql = QStringLiteral("select 1 from %1 where %2 limit 1").arg(name, failing).toUtf8();
            Statement any(db, sql.constData());
            any.bind(1, qint64(MaxValueBytes));
            if (!any.step())
                continue;
        }
        QString counts = QStringLiteral("count(case when %1 then 1 end)").arg(tooLarge);
        if (accounts)
            counts += QStringLiteral(", count(case when %1 then 1 end)").arg(wrongForm);
        const QByteArray sql = QStringLiteral("select %1 from %2").arg(counts, name).toUtf8();
        Statement count(db, sql.constData());
        count.bind(1, qint64(MaxValueBytes));
        count.step();
        if (count.integer(0) > 0)
            refuse(db, QStringLiteral("a row larger than %1 MB").arg(MaxValueBytes / (1024 * 1024)));
        if (accounts && count.integer(1) > 0)
            raiseVaultDamaged(
                db,
                sealed ? QStringLiteral("%1 of its passwords are not sealed").arg(count.integer(1))
                       : QStringLiteral("%1 of its passwords are sealed, but it has no seal").arg(count.integer(1)));
    }
}

// A sealed vault's master row is set, yet holds nothing the master
// password could be had from.
void requireEmptyMasterRow(const Database& db)
{
    Statement master(db, "select initialized, octet_length(password) from master");
    if (!master.step() || !master.isInteger(0) || master.integer(0) == 0)
        raiseVaultDamaged(db, QStringLiteral("it is sealed, and its master row is not initialised"));
    do {
        if (!master.isNull(1) && master.integer(1) != 0)
            raiseVaultDamaged(db, QStringLiteral("it is sealed, and its master row holds a password"));
    } while (master.step());
}

std::vector<SchemaRow> schemaRows(const Database& db)
{
    std::vector<SchemaRow> rows;
    Statement schema(db, "select type, name, tbl_name, rootpage, sql from sqlite_master order by rowid");
    while (schema.step())
        rows.push_back({schema.text(0), schema.text(1), schema.text(2), schema.integer(3), schema.text(4)});
    return rows;
}

const VaultSchema::Table* shapeOf(const SchemaRow& row)
{
    for (const VaultSchema::Table* shape : {&VaultSchema::Accounts, &VaultSchema::Master, &VaultSchema::Seal})
        if (row.type == QLatin1String("table") && row.name == QLatin1String(shape->name))
            return shape;
    return nullptr;
}

}  // namespace

void raiseVaultDamaged(const Database& db, const QString& what)
{
    throw AppError(ErrorCode::VaultDamaged,
                   QStringLiteral("The vault '%1' is damaged: %2. It was left as it is.").arg(db.path(), what),
                   ErrorSource::Store);
}

QByteArray VaultSchema::columnList(const Table& table, const char* each)
{
    QStringList columns;
    for (const auto& column : table.columns)
        // "?" names no column: arg() would warn of it.
        columns << (std::strchr(each, '%') ? QString::fromLatin1(each).arg(QLatin1String(column.first))
                                           : QString::fromLatin1(each));
    return columns.join(QLatin1String(", ")).toUtf8();
}

SealRow VaultSchema::readSealRow(const Database& db)
{
    {
        Statement count(db, "select count(*) from seal");
        if (!count.step() || count.integer(0) != 1)
            raiseVaultDamaged(db, QStringLiteral("its seal table holds %1 rows, not one").arg(count.integer(0)));
    }
    // Types and sizes first: nothing but a row of the right shape is loaded.
    const QByteArray shapeSql = "select " + columnList(Seal, "typeof(%1)")
        + ", octet_length(publickey), octet_length(salt), octet_length(secretkey) from seal";
    Statement shape(db, shapeSql.constData());
    shape.step();
    const auto& columns = Seal.columns;
    for (int i = 0; i < int(columns.size()); ++i)
        if (shape.text(i) != QLatin1String(columns[std::size_t(i)].second))
            raiseVaultDamaged(db, QStringLiteral("its seal row is not of the right shape"));
    if (shape.integer(6) != qint64(sealBase64Length(SealRow::KeyBytes))
        || shape.integer(7) != qint64(sealBase64Length(SealRow::SaltBytes))
        || shape.integer(8) != qint64(sealBase64Length(SealRow::BoxedSecretKeyBytes)))
        raiseVaultDamaged(db, QStringLiteral("its seal row is not of the right shape"));

    const QByteArray valuesSql = "select " + columnList(Seal) + " from seal";
    Statement values(db, valuesSql.constData());
    values.step();
    // The one place a later format would be told apart.
    if (values.integer(0) != SealVersion)
        raiseVaultDamaged(
            db,
            QStringLiteral("its seal row is of format %1, which this Quillock does not know").arg(values.integer(0)));
    const qint64 ops = values.integer(3);
    const qint64 mem = values.integer(4);
    // Before anything is derived: a hostile row must not make us allocate.
    if (!SealRow::saneLimits(ops, mem))
        raiseVaultDamaged(db, QStringLiteral("its seal row asks for %1 passes over %2 bytes").arg(ops).arg(mem));
    SealRow row;
    row.limits = {quint64(ops), quint64(mem)};
    if (!sealFromBase64(values.text(1), row.publicKey.data(), row.publicKey.size())
        || !sealFromBase64(values.text(2), row.salt.data(), row.salt.size())
        || !sealFromBase64(values.text(5), row.boxedSecretKey.data(), row.boxedSecretKey.size()))
        raiseVaultDamaged(db, QStringLiteral("its seal row holds a value that is not base64 of the right size"));
    return row;
}

QString VaultSchema::createStatement(const Table& table)
{
    QStringList columns;
    for (const auto& [name, type] : table.columns)
        columns << QStringLiteral("%1 %2").arg(QLatin1String(name), QLatin1String(type));
    return QStringLiteral("create table %1 (%2)").arg(QLatin1String(table.name), columns.join(QLatin1String(", ")));
}

std::optional<SealRow> VaultSchema::require(const Database& db, Values values)
{
    const std::vector<SchemaRow> rows = schemaRows(db);
    const auto isTable = [&](const Table& table) {
        return std::any_of(rows.begin(), rows.end(), [&](const SchemaRow& row) { return shapeOf(row) == &table; });
    };
    // SQLite takes an empty file for an empty database; a vault has both tables.
    if (!isTable(Accounts) || !isTable(Master))
        throw AppError(ErrorCode::UnrecognizedFormat,
                       QStringLiteral("Unrecognized database format: '%1' is not a vault.").arg(db.path()),
                       ErrorSource::Store);

    for (const SchemaRow& row : rows) {
        if (row.type == QLatin1String("table")) {
            if (row.rootpage <= 0)
                refuse(db, QStringLiteral("a virtual table '%1'").arg(row.name));
            const Table* shape = shapeOf(row);
            if (!shape)
                refuse(db, QStringLiteral("a table '%1'").arg(row.name));
            requireExactDefinition(db, row, *shape);
        } else if (row.type != QLatin1String("index")) {
            refuse(db, QStringLiteral("a %1 '%2'").arg(row.type, row.name));
        }
    }
    const bool sealed = isTable(Seal);
    requireColumns(db, Accounts);
    requireColumns(db, Master);
    if (sealed)
        requireColumns(db, Seal);
    const QSet<QString> indexes =
        requirePlainIndexes(db, QLatin1String(Accounts.name)) + requirePlainIndexes(db, QLatin1String(Master.name));
    for (const SchemaRow& row : rows)
        if (row.type == QLatin1String("index") && !indexes.contains(row.name))
            refuse(db, QStringLiteral("an index '%1' on table '%2'").arg(row.name, row.table));
    // A sealed vault only as its seal row says.
    std::optional<SealRow> seal;
    if (sealed) {
        seal = readSealRow(db);
        requireEmptyMasterRow(db);
    }
    if (values == Values::Measure)
        requireValuesWithinLimit(db, sealed);
    return seal;
}
