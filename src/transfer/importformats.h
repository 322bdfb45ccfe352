#pragma once

#include "transfer/csvfile.h"

#include <QString>
#include <QStringList>
#include <array>
#include <optional>

// The exports the import knows, by their header rows (or, for Keeper, by
// the shape of their rows), and where each account field comes from in
// them.
namespace Transfer {

enum class ImportFormat {
    Firefox,
    Chrome,
    Bitwarden,
    KeePassXC,
    LastPass,
    OnePassword8,
    OnePassword7,
    Apple,
    Dashlane,
    DashlaneNotes,
    NordPass,
    ProtonPass,
    Enpass,
    RoboForm,
    KeePass1,
    Keeper,
    Other
};

// How a layout's rows hold their fields.
enum class RowShape {
    Columns,  // one field a column, as many as the header has
    Wider,  // the same, and custom fields past the last column (RoboForm)
    Pairs,  // a title, label and value pairs, a note last (Enpass)
    Headerless  // fixed columns, then name and value pairs; no header row (Keeper)
};

// What some layouts do that the others do not.
enum ImportQuirk : unsigned {
    SecureNoteUrl = 1,  // the address "http://sn" marks a secure note (LastPass)
    HtmlEntities = 2,  // "&amp;" and the like written for characters (LastPass)
    ApostropheEscapes = 4,  // "'@..." and "''..." written for "@..." and "'..." (RoboForm)
    BackslashEscapes = 8,  // \" and \\ inside quotes (KeePass 1.x)
    OnlySecureNotes = 16,  // every row is a secure note (Dashlane's securenotes.csv)
    AddressLists = 32,  // the address column may hold several (1Password 7, Proton Pass)
    BrowserRows = 64,  // "chrome://..." rows are the browser's own sign-ins (Firefox)
    Bookmarks = 128,  // a row without login and password is a bookmark (RoboForm)
    CustomPairs = 256,  // name and value pairs past the fixed fields, a TOTP among them (Keeper)
    EmptyIsOther = 512,  // a row without login, password and address is of another kind (Keeper)
    ShortRows = 1024,  // notes and bookmarks have one field fewer than the header (RoboForm)
    JoinedUris = 2048,  // several addresses joined by "," in the address column (Bitwarden)
};

// What a row of an export may give an account; each comes from one column.
enum class Field {
    Name,  // none: the host of the first address
    Username,
    Email,  // the username of a row whose own is empty
    Password,
    Url,
    MoreUrls,  // further addresses (NordPass: a JSON list)
    Hint,  // none: a hint written into the notes by our export
    Notes,
    Type,  // the item's type: only logins are taken
    Totp  // a TOTP secret, which is not taken
};
inline constexpr int FieldCount = int(Field::Totp) + 1;

// Where each field comes from in a layout's rows, and what its rows are.
struct ImportColumns {
    ImportFormat format = ImportFormat::Other;
    RowShape shape = RowShape::Columns;
    unsigned quirks = 0;
    qsizetype width = 0;  // the header's columns
    bool firstIsRow = false;  // no header: the first record is a row
    std::array<int, FieldCount> columns = [] {
        std::array<int, FieldCount> none{};
        none.fill(-1);
        return none;
    }();
    // A layout of fixed positions: the fewest fields of a row, a broken
    // row told ("%1" its fields), and the mapping in words.
    qsizetype minFields = 0;
    const char* brokenRow = nullptr;
    const char* mapping = nullptr;

    int column(Field field) const { return columns[size_t(field)]; }
    bool has(ImportQuirk quirk) const { return (quirks & quirk) != 0; }
    // Whether a row of `fields` fields has too few or too many for the layout.
    bool broken(qsizetype fields) const;
    QString brokenText(qsizetype fields) const;
};

QString formatName(ImportFormat format);
// The format `--format NAME` names (any case); nothing for an unknown name.
std::optional<ImportFormat> formatNamed(const QString& name);
// Every NAME `--format` takes, as the usage lists them.
QStringList formatOptions();

// Recognises the first record of a file: a known export's header row, a
// header naming a password column and a name or URL column, or Keeper's
// rows, which have no header. `forced` takes that layout whatever the
// header says. Raises an input error naming line 1 when nothing fits.
ImportColumns recognizeHeader(const CsvRecord& first, std::optional<ImportFormat> forced = {});

// The mapping in words, e.g. `name from "Title", username from "Username"`;
// for the other layout, the header's columns it leaves unused too.
QString columnsText(const ImportColumns& columns, const CsvRecord& header);

}  // namespace Transfer
