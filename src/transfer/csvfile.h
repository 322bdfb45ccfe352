#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QStringList>
#include <memory>

// Reading and writing CSV text (RFC 4180) through libcsv.
namespace Transfer {

// Exports run to a few megabytes; anything this large is not one.
inline constexpr qint64 MaxInputBytes = 64 * 1024 * 1024;

// The whole file. Raises for a file that is missing, unreadable, not a
// regular file or larger than MaxInputBytes, before reading any of it.
QByteArray readInputFile(const QString& path);

// One record: its fields' UTF-8 text in one buffer, each field ended by a
// NUL (which the text never holds), so a record of a million fields costs
// what its text costs, not a string a field. Fields are found by going
// through the buffer, from the last one found when they are asked for in
// order. The text (it may hold passwords) is wiped when the record is
// cleared or goes.
class CsvRecord {
public:
    CsvRecord() = default;
    ~CsvRecord();
    CsvRecord(const CsvRecord& other) = default;
    CsvRecord& operator=(const CsvRecord& other);

    qsizetype line = 0;  // the physical line it starts on, from 1
    qsizetype lastLine = 0;  // the physical line it ends on
    qsizetype begin = 0;  // its first byte in the text

    qsizetype size() const { return size_; }
    QByteArrayView bytes(qsizetype i) const;
    // The field as text; empty past the last one.
    QString field(qsizetype i) const;
    QStringList fields() const;

    void appendField(const char* data, size_t length);
    void clear();

private:
    QByteArray text_;
    qsizetype size_ = 0;
    mutable qsizetype foundField_ = 0;  // the last field found, and where it starts
    mutable qsizetype foundAt_ = 0;
};

// How a file separates and quotes its fields.
struct CsvDialect {
    char separator = ',';
    // KeePass's "KeePass CSV (1.x)": inside quotes, \" is a quote and \\ a
    // backslash, where RFC 4180 doubles the quote.
    bool backslashEscapes = false;
};

// The separator a file's first line uses most, outside quotes: a comma,
// or a semicolon or tab where a spreadsheet re-saved it so.
CsvDialect sniffDialect(const QByteArray& text);

// Reads the records of a text one after the other, fed one physical line
// at a time, so every record and every fault is known by its line: an
// optional UTF-8 byte-order mark, CRLF, LF, CR or CR CR LF line ends,
// quoted fields holding commas, doubled quotes and line breaks, blank
// lines between records ignored. A quote inside an unquoted field is an
// ordinary character, as most CSV readers take it. Fields are taken
// exactly, blanks included. Raises an input error naming the line for a
// NUL byte, invalid UTF-8 and broken quoting.
class CsvReader {
public:
    // Reads from byte `from` of `text`, the start of line `line`; the text
    // must outlive the reader.
    explicit CsvReader(const QByteArray& text, const CsvDialect& dialect = {}, qsizetype from = 0, qsizetype line = 1);
    ~CsvReader();
    CsvReader(const CsvReader&) = delete;
    CsvReader& operator=(const CsvReader&) = delete;

    // The next record; false at the end of the text.
    bool next(CsvRecord& record);
    // Where the next record's text begins (or blank lines before it).
    qsizetype position() const { return pos_; }
    qsizetype nextLine() const { return line_ + 1; }

private:
    struct Parser;
    void feedLine();
    void checkText(qsizetype length) const;
    // Where the line's reading stands, for rewriting it as RFC 4180.
    enum class Quoting : quint8 { FieldStart, Unquoted, Quoted, AfterQuote };
    // The line as libcsv's strict rules read it: backslash escapes made
    // RFC 4180's, an unquoted field holding a quote put in quotes.
    QByteArrayView readable(qsizetype length);
    bool rewrite(const char* line, qsizetype length, QByteArray* out, Quoting& state) const;
    static void onField(void* data, size_t length, void* user);
    static void onRecordEnd(int, void* user);

    const unsigned char* data_;
    qsizetype size_;
    qsizetype pos_;
    qsizetype line_;
    std::unique_ptr<Parser> parser_;
    CsvRecord* record_ = nullptr;
    bool ended_ = false;
    bool finished_ = false;
    char separator_;
    bool backslashEscapes_ = false;
    Quoting quoting_ = Quoting::FieldStart;
    QByteArray rewritten_;
};

// One record for writing: every field quoted, quotes doubled, CRLF at the end.
void appendCsvRecord(QByteArray& out, const QStringList& fields);

}  // namespace Transfer
