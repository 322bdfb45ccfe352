#pragma once

#include <QByteArray>
#include <QStringList>
#include <functional>
#include <vector>

// Reading and writing CSV text (RFC 4180) through libcsv.
namespace Transfer {

// Exports run to a few megabytes; anything this large is not one.
inline constexpr qint64 MaxInputBytes = 64 * 1024 * 1024;

struct CsvRecord {
    qsizetype line = 0;  // the physical line the record starts on, from 1
    QStringList fields;
};

// The whole file. Raises for a file that is missing, unreadable, not a
// regular file or larger than MaxInputBytes, before reading any of it.
QByteArray ReadInputFile(const QString& path);

// Every record of the text: an optional UTF-8 byte-order mark, CRLF, LF or
// CR line ends, quoted fields holding commas, doubled quotes and line
// breaks, blank lines between records ignored. Fields are taken exactly,
// blanks included. Raises an input error naming the line for a NUL byte,
// invalid UTF-8, broken quoting, a record whose field count differs from
// the first one's, and a file with no record at all. `progress` hears the
// number of records read now and then.
std::vector<CsvRecord> ParseCsv(const QByteArray& text, const std::function<void(qsizetype)>& progress = {});

// Overwrites every field's text (they may hold passwords) and empties the list.
void WipeRecords(std::vector<CsvRecord>& records);

// One record for writing: every field quoted, quotes doubled, CRLF at the end.
void AppendCsvRecord(QByteArray& out, const QStringList& fields);

}  // namespace Transfer
