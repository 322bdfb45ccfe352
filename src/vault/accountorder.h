#pragma once

#include <QString>
#include <cstddef>
#include <optional>
#include <vector>

// One list entry: the name shown and the row it stands for.
struct AccountEntry {
    qint64 rowid = 0;
    QString account;
    bool operator==(const AccountEntry&) const = default;
};

// The accounts in list order: names compared without regard to case, code
// point by code point as Qt's case-insensitive comparison folds them (the
// UNICODE_NOCASE order), ties by row id. Each name is folded once, when it
// comes in, so sorting and moving one entry only compare folded keys.
class AccountOrder {
public:
    // Takes the entries in any order.
    void assign(std::vector<AccountEntry> entries);

    std::size_t size() const { return items_.size(); }
    const AccountEntry& at(std::size_t index) const { return items_[index].entry; }
    std::optional<std::size_t> indexOf(qint64 rowid) const;
    // By name and row id, without a walk.
    std::optional<std::size_t> indexOf(const AccountEntry& entry) const;
    bool sameEntries(const AccountOrder& other) const;

    // Returns the index the entry now has.
    std::size_t insert(AccountEntry entry);
    void removeAt(std::size_t index);

    // The entries by row id, as a scan of the table gives them: the next
    // read of the table matches its rows against these, so that only the
    // names that changed are converted, folded and placed.
    const std::vector<AccountEntry>& byRowid() const;
    // `rows` (row ids ascending) holds what the order now holds.
    void keepByRowid(std::vector<AccountEntry> rows);

    // The name as the order compares it.
    static QString foldedKey(const QString& name);

    // Room for a list of `size` entries and the adds of a session: the
    // first add after a rebuild would otherwise move the whole list to a
    // new block, tens of milliseconds at a hundred thousand accounts.
    static std::size_t withRoom(std::size_t size) { return size + size / 8 + 64; }

private:
    struct Item {
        AccountEntry entry;
        QString key;
    };
    static bool before(const Item& a, const Item& b);

    std::vector<Item> items_;
    mutable std::vector<AccountEntry> byRowid_;
    mutable bool byRowidKnown_ = false;
};
