#pragma once

#include "vault/sealrow.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <utility>
#include <vector>

class Database;

// The vault's two tables as a fresh vault defines them, a sealed vault's
// third, and the check that a file holds exactly those before anything
// else in it runs: each table with these columns and types and nothing
// more (no constraint, default, collation or conflict clause), and at most
// plain indexes on the first two, none of them unique. A file missing either of those is not a
// vault (3343); one that holds anything else is refused (3251); a seal
// that does not match the rest of the file is damage (3049).
namespace VaultSchema {

struct Table {
    const char* name;
    std::vector<std::pair<const char*, const char*>> columns;  // name, type
};

inline const Table Accounts{"accounts",
                            {{"account", "text"},
                             {"username", "text"},
                             {"password", "text"},
                             {"url", "text"},
                             {"hint", "text"},
                             {"notes", "text"}}};
inline const Table Master{"master", {{"key", "text"}, {"password", "text"}, {"initialized", "boolean"}}};
// Sealing adds it (README, "Protecting the vault file"): one SealRow, in
// the format `SealVersion`.
inline const Table Seal{"seal",
                        {{"version", "integer"},
                         {"publickey", "text"},
                         {"salt", "text"},
                         {"opslimit", "integer"},
                         {"memlimit", "integer"},
                         {"secretkey", "text"}}};
inline constexpr qint64 SealVersion = 1;
// What every password of a sealed vault begins with, and no other value:
// the field cipher's base64 never holds a colon.
inline const QString SealedPrefix = QStringLiteral("seal:");

// "create table NAME (column type, ...)", as a fresh vault is built.
QString createStatement(const Table& table);
// The table's columns in order, each shaped by `each` ("%1 = ?" names it
// at %1), joined by commas: how statements name them.
QByteArray columnList(const Table& table, const char* each = "%1");

// Measuring the values' sizes reads every row: a vault compacted a moment
// ago from one that was measured may skip it.
enum class Values { Measure, MeasuredBefore };

// The whole check: the tables, the seal row and the form of the passwords
// (with the values' sizes, in the same pass). Returns the seal row of a
// sealed vault.
std::optional<SealRow> require(const Database& db, Values values = Values::Measure);

// The seal row as stored: the damage error unless there is exactly one, of
// the right types and sizes, in a format this Quillock reads, with sane
// limits. A later format would be told apart and read here.
SealRow readSealRow(const Database& db);

}  // namespace VaultSchema

// The error for a vault whose seal does not match the rest of it (3049);
// nothing in it was changed.
[[noreturn]] void raiseVaultDamaged(const Database& db, const QString& what);
