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
        const char32_t folded = QChar::toCaseFolded(code);
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
    items_.clear();
    items_.reserve(withRoom(entries.size()));
    for (AccountEntry& entry : entries) {
        QString key = foldedKey(entry.account);
        items_.push_back({std::move(entry), std::move(key)});
    }
    std::sort(items_.begin(), items_.end(), before);
}

std::optional<std::size_t> AccountOrder::indexOf(qint64 rowid) const
{
    const auto found =
        std::find_if(items_.begin(), items_.end(), [rowid](const Item& item) { return item.entry.rowid == rowid; });
    if (found == items_.end())
        return std::nullopt;
    return std::size_t(found - items_.begin());
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
    return index;
}

void AccountOrder::removeAt(std::size_t index)
{
    items_.erase(items_.begin() + std::ptrdiff_t(index));
}
