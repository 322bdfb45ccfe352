#pragma once

#include "transfer/csvfile.h"

#include <QString>

// The exports the import knows by their header rows, and where each
// account field comes from in them.
namespace Transfer {

enum class ImportFormat { Firefox, Chrome, Bitwarden, KeePassXC, Other };

// Where each account field comes from: a column index, or -1.
struct ImportColumns {
    ImportFormat format = ImportFormat::Other;
    int name = -1;  // -1: the host of the URL
    int username = -1;
    int password = -1;
    int url = -1;
    int hint = -1;  // -1: a hint written into the notes by our export
    int notes = -1;
    int type = -1;  // the item's type: only logins are taken
};

QString FormatName(ImportFormat format);

// Recognises a header row; raises an input error naming line 1 when it
// matches no format and names no password column and no name or URL column.
ImportColumns RecognizeHeader(const CsvRecord& header);

}  // namespace Transfer
