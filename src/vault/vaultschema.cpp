#include "vault/vaultschema.h"

#include "vault/apperror.h"
#include "vault/sqlite.h"
#include "vault/vaultseal.h"

#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <algorithm>
#include <vector>

namespace {

struct SchemaRow {
    QString type;
    QString name;
    QString table;
    qint64 rootpage = 0;
    QString sql;
};

struct Token {
    enum Kind { Word, Quoted, Symbol } kind;
    QString text;
};

const QStringList AccountColumns = {QStringLiteral("account"), QStringLiteral("username"), QStringLiteral("password"),
                                    QStringLiteral("url"),     QStringLiteral("hint"),     QStringLiteral("notes")};
const QStringList MasterColumns = {QStringLiteral("key"), QStringLiteral("password"), QStringLiteral("initialized")};

[[noreturn]] void refuse(const Database& db, const QString& what)
{
    throw AppError(ErrorCode::UntrustedVault,
                   QStringLiteral("The vault '%1' holds %2, which Quillock never puts there; it was left as it is.")
                       .arg(db.path(), what),
                   ErrorSource::Store);
}

bool isBuiltInCollation(const QString& name)
{
    for (const char* builtIn : {"BINARY", "NOCASE", "RTRIM"})
        if (name.compare(QLatin1String(builtIn), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

bool isWord(const Token& token, const char* word)
{
    return token.kind == Token::Word && token.text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0;
}

// SQL as SQLite splits it: quoted names and strings whole, comments dropped.
// Empty when a quote is never closed.
std::vector<Token> tokenize(const QString& sql)
{
    std::vector<Token> tokens;
    const qsizetype n = sql.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = sql.at(i);
        if (c.isSpace()) {
            ++i;
        } else if (sql.mid(i, 2) == QLatin1String("--")) {
            const qsizetype end = sql.indexOf(QLatin1Char('\n'), i);
            i = end < 0 ? n : end + 1;
        } else if (sql.mid(i, 2) == QLatin1String("/*")) {
            const qsizetype end = sql.indexOf(QLatin1String("*/"), i + 2);
            i = end < 0 ? n : end + 2;
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('[')) {
            const QChar close = c == QLatin1Char('[') ? QLatin1Char(']') : c;
            QString text;
            qsizetype j = i + 1;
            for (;; ++j) {
                if (j >= n)
                    return {};
                if (sql.at(j) == close) {
                    if (close != QLatin1Char(']') && j + 1 < n && sql.at(j + 1) == close) {
                        text += close;
                        ++j;
                        continue;
                    }
                    break;
                }
                text += sql.at(j);
            }
            tokens.push_back({Token::Quoted, text});
            i = j + 1;
        } else if (c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('$') || c.unicode() >= 0x80) {
            qsizetype j = i;
            while (j < n
                   && (sql.at(j).isLetterOrNumber() || sql.at(j) == QLatin1Char('_') || sql.at(j) == QLatin1Char('$')
                       || sql.at(j).unicode() >= 0x80))
                ++j;
            tokens.push_back({Token::Word, sql.mid(i, j - i)});
            i = j;
        } else {
            tokens.push_back({Token::Symbol, QString(c)});
            ++i;
        }
    }
    return tokens;
}

// The table's own text: "CREATE TABLE name (...)" and nothing after, with no
// clause in it that runs code or names a collation of someone else's.
void requirePlainDefinition(const Database& db, const SchemaRow& row)
{
    const QString table = row.name;
    const std::vector<Token> tokens = tokenize(row.sql);
    // sqlcipher_export rewrites the text from its 14th character on.
    bool plain = row.sql.startsWith(QLatin1String("CREATE TABLE ")) && tokens.size() >= 5
        && tokens[3].text == QLatin1String("(") && tokens.back().text == QLatin1String(")");
    int depth = 0;
    for (size_t i = 3; plain && i < tokens.size(); ++i) {
        const Token& token = tokens[i];
        if (token.kind == Token::Symbol && token.text == QLatin1String("("))
            ++depth;
        else if (token.kind == Token::Symbol && token.text == QLatin1String(")") && --depth == 0)
            plain = i + 1 == tokens.size();
        else if (isWord(token, "CHECK"))
            refuse(db, QStringLiteral("a CHECK constraint in table '%1'").arg(table));
        else if (isWord(token, "REFERENCES") || isWord(token, "FOREIGN"))
            refuse(db, QStringLiteral("a foreign key in table '%1'").arg(table));
        else if (isWord(token, "AS") || isWord(token, "GENERATED"))
            refuse(db, QStringLiteral("a computed column in table '%1'").arg(table));
        else if (isWord(token, "DEFAULT") && i + 1 < tokens.size() && tokens[i + 1].text == QLatin1String("("))
            refuse(db, QStringLiteral("a computed default in table '%1'").arg(table));
        else if (isWord(token, "COLLATE")
                 && (i + 1 == tokens.size() || tokens[i + 1].kind == Token::Symbol
                     || !isBuiltInCollation(tokens[i + 1].text)))
            refuse(db,
                   QStringLiteral("the collation '%1' in table '%2'")
                       .arg(i + 1 < tokens.size() ? tokens[i + 1].text : QString(), table));
    }
    if (!plain)
        refuse(db, QStringLiteral("an unusual definition of table '%1'").arg(table));
}

QString quoted(const QString& name)
{
    return QLatin1Char('\'') + QString(name).replace(QLatin1Char('\''), QLatin1String("''")) + QLatin1Char('\'');
}

void requireColumns(const Database& db, const QString& table, const QStringList& expected)
{
    static const QRegularExpression plainType(QStringLiteral(R"(^([A-Za-z_][A-Za-z0-9_ ]*(\([0-9+\-, ]*\))?)?$)"));
    static const QRegularExpression literal(
        QStringLiteral(R"(^([-+]?(\d+(\.\d*)?|\.\d+)([eE][-+]?\d+)?|'([^']|'')*'|[xX]'[0-9A-Fa-f]*'|[A-Za-z_]\w*)$)"));
    const QByteArray sql = QStringLiteral("pragma table_info(%1)").arg(table).toUtf8();
    Statement columns(db, sql.constData());
    QStringList found;
    while (columns.step()) {
        const QString name = columns.text(1);
        found << name.toLower();
        if (!plainType.match(columns.text(2)).hasMatch())
            refuse(db, QStringLiteral("the column type '%1' in table '%2'").arg(columns.text(2), table));
        if (!columns.isNull(4) && !literal.match(columns.text(4)).hasMatch())
            refuse(db, QStringLiteral("a computed default in table '%1'").arg(table));
    }
    QStringList sortedExpected = expected;
    sortedExpected.sort();
    found.sort();
    if (found != sortedExpected)
        refuse(db, QStringLiteral("a table '%1' with the columns %2").arg(table, found.join(QLatin1String(", "))));
}

// Indexes only on plain columns of the table, never partial, with built-in
// collations; returns their names.
QSet<QString> requirePlainIndexes(const Database& db, const QString& table)
{
    QSet<QString> names;
    const QByteArray listSql = QStringLiteral("pragma index_list(%1)").arg(table).toUtf8();
    Statement list(db, listSql.constData());
    while (list.step()) {
        const QString index = list.text(1);
        names.insert(index);
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
// here, from the rows' headers, before anything copies or shows them.
void requireValuesWithinLimit(const Database& db)
{
    for (const char* sql :
         {"select count(*) from accounts where octet_length(account) > ?1 or octet_length(username) > ?1 "
          "or octet_length(password) > ?1 or octet_length(url) > ?1 or octet_length(hint) > ?1 "
          "or octet_length(notes) > ?1",
          "select count(*) from master where octet_length(key) > ?1 or octet_length(password) > ?1 "
          "or octet_length(initialized) > ?1"}) {
        Statement oversized(db, sql);
        oversized.bind(1, qint64(MaxValueBytes));
        if (oversized.step() && oversized.integer(0) > 0)
            refuse(db, QStringLiteral("a row larger than %1 MB").arg(MaxValueBytes / (1024 * 1024)));
    }
}

}  // namespace

void VaultSchema::require(const Database& db)
{
    std::vector<SchemaRow> rows;
    {
        Statement schema(db, "select type, name, tbl_name, rootpage, sql from sqlite_master order by rowid");
        while (schema.step())
            rows.push_back({schema.text(0), schema.text(1), schema.text(2), schema.integer(3), schema.text(4)});
    }
    const auto isTable = [](const SchemaRow& row, const char* name) {
        return row.type == QLatin1String("table") && row.name == QLatin1String(name);
    };
    const auto has = [&](const char* name) {
        return std::any_of(rows.begin(), rows.end(), [&](const SchemaRow& row) { return isTable(row, name); });
    };
    // SQLite takes an empty file for an empty database; a vault has both tables.
    if (!has("accounts") || !has("master"))
        throw AppError(ErrorCode::UnrecognizedFormat,
                       QStringLiteral("Unrecognized database format: '%1' is not a vault.").arg(db.path()),
                       ErrorSource::Store);

    for (const SchemaRow& row : rows) {
        if (row.type == QLatin1String("table")) {
            if (row.rootpage <= 0)
                refuse(db, QStringLiteral("a virtual table '%1'").arg(row.name));
            if (!isTable(row, "accounts") && !isTable(row, "master") && !VaultSeal::isSealTable(row.name, row.sql))
                refuse(db, QStringLiteral("a table '%1'").arg(row.name));
            requirePlainDefinition(db, row);
        } else if (row.type != QLatin1String("index")) {
            refuse(db, QStringLiteral("a %1 '%2'").arg(row.type, row.name));
        }
    }
    requireColumns(db, QStringLiteral("accounts"), AccountColumns);
    requireColumns(db, QStringLiteral("master"), MasterColumns);
    const QSet<QString> indexes =
        requirePlainIndexes(db, QStringLiteral("accounts")) + requirePlainIndexes(db, QStringLiteral("master"));
    for (const SchemaRow& row : rows)
        if (row.type == QLatin1String("index") && !indexes.contains(row.name))
            refuse(db, QStringLiteral("an index '%1' on table '%2'").arg(row.name, row.table));
    requireValuesWithinLimit(db);
    // A sealed vault only as its seal row says.
    VaultSeal::requireIntact(db);
}
