#pragma once

#include "transfer/importformats.h"
#include "transfer/importitem.h"
#include "vault/vaultstore.h"

#include <QString>
#include <QStringList>

// The add dialog's rules, applied to one row of an export.
namespace Transfer {

enum class RowOutcome : quint8 {
    Login,  // becomes an account
    Refused,  // breaks a rule of the add dialog
    NotLogin,  // a secure note, a card, ...
    Broken,  // too few or too many fields
    Duplicate  // the same account as one stored or an earlier row
};

// What a row makes: an account, or the reason it makes none; and what the
// listing says of an account stored with a change.
struct RowCheck {
    RowOutcome outcome = RowOutcome::Login;
    QString reason;  // why it is not stored
    ItemKind kind = ItemKind::Login;
    qsizetype nameLeftOut = 0;  // characters of a long name or notes left out
    qsizetype notesLeftOut = 0;
    QStringList entityFields;  // fields holding HTML entities, stored as written
    bool totp = false;  // a TOTP secret left behind

    QStringList remarks() const;
};

// The account `item` makes, as the add dialog would take it: a blank name
// becomes the host of the first address; the first web address is the
// URL ("http://" put in front of a bare host) and any other address (one
// of another scheme, a second one) a line at the head of the notes; a name
// or notes over their limit are cut at a whole character. Anything else
// over its limit, or a line break in a one-line field, refuses the row.
RowCheck makeAccount(const ImportItem& item, const ImportColumns& columns, AccountFields& plain);

}  // namespace Transfer
