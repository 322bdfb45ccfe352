#pragma once

#include "transfer/csvfile.h"
#include "transfer/importformats.h"

#include <QString>
#include <QStringList>
#include <optional>

// One row of an export as its layout gives it, before the add dialog's
// rules make an account of it.
namespace Transfer {

// What a row holds: only logins become accounts.
enum class ItemKind { Login, SecureNote, Card, Identity, Alias, Folder, Bookmark, BrowserSignIn, Other };
inline constexpr int ItemKindCount = int(ItemKind::Other) + 1;

// "a secure note", or with a count "1 secure note", "2 secure notes".
QString kindText(ItemKind kind, std::optional<qsizetype> count = {});

struct ImportItem {
    ItemKind kind = ItemKind::Login;
    QString type;  // the type column's value, when the layout has one
    QString name;
    QString username;
    QString password;
    QStringList addresses;  // each as written, the first one first
    QString notes;
    QString hint;  // from a hint column; else out of the notes
    bool totp = false;  // a TOTP secret was there

    // Overwrites the username and password, then empties everything.
    void wipe();
};

ImportItem readItem(const CsvRecord& record, const ImportColumns& columns);

}  // namespace Transfer
