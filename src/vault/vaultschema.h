#pragma once

class Database;

// The vault's schema is read before anything else in the file runs: it
// must hold the tables `accounts` and `master` with their columns, plain
// (no CHECK, no computed default, built-in collations only), and at most
// indexes on plain columns of those two. A file missing either table is
// not a vault (3343); one that holds anything else is refused (3251).
namespace VaultSchema {
void require(const Database& db);
}
