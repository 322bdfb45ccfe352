#pragma once

#include <QString>
#include <utility>
#include <vector>

class Database;

// The vault's two tables as a fresh vault defines them, and the check that
// a file holds exactly those before anything else in it runs: each table
// with these columns and types and nothing more (no constraint, default,
// collation or conflict clause), and at most plain indexes on their
// columns, none of them unique. A file missing either table is not a vault (3343); one that
// holds anything else is refused (3251).
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

// "create table NAME (column type, ...)", as a fresh vault is built.
QString createStatement(const Table& table);

// Measuring the values' sizes reads every row: a vault compacted a moment
// ago from one that was measured may skip it.
enum class Values { Measure, MeasuredBefore };

void require(const Database& db, Values values = Values::Measure);

}  // namespace VaultSchema
