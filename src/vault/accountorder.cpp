#include "vault/accountorder.h"

#include <algorithm>

QString AccountOrder::foldedKey(const QString& name)
{
    // Folding keeps a supplementary character in its surrogate block, so
    // comparing the folded UTF-16 gives what comparing folded code points
    // gives; most names are unchanged and share their text with the key.
    QString key;
    const qsizetype length = name.size();
    for (qsizetype i = 0; i < length;) {
        char32_t code = name.at(i).unicode();
        qsizetype units = 1;
        if (QChar::isHighSurrogate(code) && i + 1 < length && name.at(i + 1).isLowSurrogate()) {
            code = QChar::surrogateToUcs4(name.at(i), name.at(i + 1));
            units = 2;
        }
        // ASCII folds to its lower case; the table lookup is a call.
        const char32_t folded =
            code < 0x80 ? (code >= 'A' && code <= 'Z' ? code + 32 : code) : QChar::toCaseFolded(code);
        if (folded != code && key.isNull()) {
            key.reserve(length);
            key.append(name.constData(), i);
        }
        if (!key.isNull()) {
            if (QChar::requiresSurrogates(folded)) {
                key.append(QChar(QChar::highSurrogate(folded)));
                key.append(QChar(QChar::lowSurrogate(folded)));
            } else {
                key.append(QChar(char16_t(folded)));
            }
        }
        i += units;
    }
    return key.isNull() ? name : key;
}

bool AccountOrder::before(const Item& a, const Item& b)
{
    const int byName = a.key.compare(b.key, Qt::CaseSensitive);
    return byName != 0 ? byName < 0 : a.entry.rowid < b.entry.rowid;
}

void AccountOrder::assign(std::vector<AccountEntry> entries)
{
    const auto byId = [](const AccountEntry& a, const AccountEntry& b) { return a.rowid < b.rowid; };
    byRowidKnown_ = std::is_sorted(entries.begin(), entries.end(), byId);
    byRowid_.clear();
    if (byRowidKnown_)
        byRowid_ = entries;

    std::vector<Item> items;
    items.reserve(entries.size());
    // The sort moves small handles, not the entries: the first four folded
    // units, the first in the high bits, decide most comparisons without
    // touching the keys.
    struct Handle {
        quint64 head;
        std::size_t index;
    };
    std::vector<Handle> handles;
    handles.reserve(entries.size());
    for (AccountEntry& entry : entries) {
        QString key = foldedKey(entry.account);
        quint64 head = 0;
        for (qsizetype i = 0; i < 4; ++i)
            head = (head << 16) | (i < key.size() ? key.at(i).unicode() : 0u);
        handles.push_back({head, items.size()});
        items.push_back({std::move(entry), std::move(key)});
    }
    std::sort(handles.begin(), handles.end(), [&items](const Handle& a, const Handle& b) {
        return a.head != b.head ? a.head < b.head : before(items[a.index], items[b.index]);
    });
    items_.clear();
    items_.reserve(withRoom(items.size()));
    for (const Handle& handle : handles)
        items_.push_back(std::move(items[handle.index]));
}

std::optional<std::size_t> AccountOrder::indexOf(qint64 rowid) const
{
    const auto found =
        std::find_if(items_.begin(), items_.end(), [rowid](const Item& item) { return item.entry.rowid == rowid; });
    if (found == items_.end())
        return std::nullopt;
    return std::size_t(found - items_.begin());
}

std::optional<std::size_t> AccountOrder::indexOf(const AccountEntry& entry) const
{
    const Item item{entry, foldedKey(entry.account)};
    const auto at = std::lower_bound(items_.begin(), items_.end(), item, before);
    if (at == items_.end() || at->entry != entry)
        return std::nullopt;
    return std::size_t(at - items_.begin());
}

const std::vector<AccountEntry>& AccountOrder::byRowid() const
{
    if (!byRowidKnown_) {
        byRowid_.clear();
        byRowid_.reserve(withRoom(items_.size()));
        for (const Item& item : items_)
            byRowid_.push_back(item.entry);
        std::sort(byRowid_.begin(), byRowid_.end(),
                  [](const AccountEntry& a, const AccountEntry& b) { return a.rowid < b.rowid; });
        byRowidKnown_ = true;
    }
    return byRowid_;
}

void AccountOrder::keepByRowid(std::vector<AccountEntry> rows)
{
    byRowid_ = std::move(rows);
    byRowidKnown_ = true;
}

bool AccountOrder::sameEntries(const AccountOrder& other) const
{
    return std::equal(items_.begin(), items_.end(), other.items_.begin(), other.items_.end(),
                      [](const Item& a, const Item& b) { return a.entry == b.entry; });
}

std::size_t AccountOrder::insert(AccountEntry entry)
{
    Item item{std::move(entry), {}};
    item.key = foldedKey(item.entry.account);
    const auto at = std::upper_bound(items_.begin(), items_.end(), item, before);
    const std::size_t index = std::size_t(at - items_.begin());
    items_.insert(at, std::move(item));
    byRowidKnown_ = false;
    return index;
}

void AccountOrder::removeAt(std::size_t index)
{
    items_.erase(items_.begin() + std::ptrdiff_t(index));
    byRowidKnown_ = false;
}
