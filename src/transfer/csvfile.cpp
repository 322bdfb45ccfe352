#include "transfer/csvfile.h"

#include "transfer/transfer.h"
#include "vault/apperror.h"
#include "vault/wipe.h"

#include <csv.h>
#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Transfer {

namespace {

// Offset of the first byte that does not begin a well-formed UTF-8
// sequence, or -1. Overlong forms, surrogates and code points past
// U+10FFFF are ill-formed: text taken in must be exact Unicode.
qsizetype InvalidUtf8At(const unsigned char* p, qsizetype n)
{
    qsizetype i = 0;
    while (i < n) {
        const unsigned c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int length = 0;
        char32_t code = 0;
        char32_t least = 0;
        if ((c & 0xE0) == 0xC0) {
            length = 2, code = c & 0x1F, least = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3, code = c & 0x0F, least = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4, code = c & 0x07, least = 0x10000;
        } else {
            return i;
        }
        if (i + length > n)
            return i;
        for (int k = 1; k < length; ++k) {
            const unsigned next = p[i + k];
            if ((next & 0xC0) != 0x80)
                return i;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return i;
        i += length;
    }
    return -1;
}

struct ParseState {
    std::vector<CsvRecord> records;
    QStringList fields;
    qsizetype recordLine = 0;
    bool betweenRecords = true;
};

void OnField(void* data, size_t length, void* user)
{
    auto* state = static_cast<ParseState*>(user);
    state->fields.append(QString::fromUtf8(static_cast<const char*>(data), qsizetype(length)));
}

void OnRecordEnd(int, void* user)
{
    auto* state = static_cast<ParseState*>(user);
    state->records.push_back({state->recordLine, std::move(state->fields)});
    state->fields = QStringList();
    state->betweenRecords = true;
}

// Blanks belong to the field: a password may begin or end with one.
int NoSpaces(unsigned char)
{
    return 0;
}

// Owns the parser; its buffer held the last field's plain text.
class Parser {
public:
    Parser()
    {
        if (csv_init(&parser_, CSV_STRICT | CSV_STRICT_FINI) != 0)
            RaiseInputError(0, QStringLiteral("the CSV reader could not start"));
        csv_set_space_func(&parser_, NoSpaces);
    }
    ~Parser()
    {
        if (parser_.entry_buf)
            sodium_memzero(parser_.entry_buf, parser_.entry_size);
        csv_free(&parser_);
    }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;
    csv_parser* get() { return &parser_; }

private:
    csv_parser parser_{};
};

}  // namespace

QByteArray ReadInputFile(const QString& path)
{
    const QByteArray native = path.toUtf8();
    // Not blocking: a named pipe given by mistake is refused, not waited on.
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        RaiseFileError(errno, path, QStringLiteral("read"));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    struct stat info { };
    if (::fstat(fd, &info) != 0)
        RaiseFileError(errno, path, QStringLiteral("read"));
    if (!S_ISREG(info.st_mode))
        RaiseInputError(0, QStringLiteral("not a regular file"));
    if (info.st_size > MaxInputBytes)
        RaiseInputError(0,
                        QStringLiteral("the file holds %1 MB; files over %2 MB are not exports of passwords")
                            .arg(info.st_size / (1024 * 1024))
                            .arg(MaxInputBytes / (1024 * 1024)));
    // Read at most one byte past the limit, so a file that grows meanwhile
    // is still refused.
    QByteArray bytes(qsizetype(info.st_size) + 1, Qt::Uninitialized);
    qsizetype filled = 0;
    while (true) {
        if (filled == bytes.size()) {
            if (filled > MaxInputBytes) {
                Secrets::wipe(bytes);
                RaiseInputError(
                    0, QStringLiteral("the file grew past %1 MB while it was read").arg(MaxInputBytes / (1024 * 1024)));
            }
            bytes.resize(std::min<qsizetype>(bytes.size() * 2, MaxInputBytes + 1));
        }
        const ssize_t got = ::read(fd, bytes.data() + filled, size_t(bytes.size() - filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int error = errno;
            Secrets::wipe(bytes);
            RaiseFileError(error, path, QStringLiteral("read"));
        }
        if (got == 0)
            break;
        filled += got;
    }
    bytes.truncate(filled);
    return bytes;
}

std::vector<CsvRecord> ParseCsv(const QByteArray& text, const std::function<void(qsizetype)>& progress)
{
    const auto* data = reinterpret_cast<const unsigned char*>(text.constData());
    const qsizetype size = text.size();
    qsizetype pos = 0;
    if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF)
        pos = 3;

    ParseState state;
    struct Wiper {
        ParseState& state;
        bool armed = true;
        ~Wiper()
        {
            if (!armed)
                return;
            WipeRecords(state.records);
            for (QString& field : state.fields)
                Secrets::wipe(field);
        }
    } wiper{state};

    Parser parser;
    qsizetype line = 0;
    qsizetype reported = 0;
    // Fed one physical line at a time, so every record and every fault is
    // known by the line it is on.
    while (pos < size) {
        ++line;
        qsizetype end = pos;
        while (end < size && data[end] != '\n' && data[end] != '\r')
            ++end;
        const bool blank = end == pos;
        if (end < size)
            end += (data[end] == '\r' && end + 1 < size && data[end + 1] == '\n') ? 2 : 1;

        const qsizetype length = end - pos;
        if (std::memchr(data + pos, 0, size_t(length)))
            RaiseInputError(line, QStringLiteral("a NUL byte: this is a binary file, not CSV text"));
        const qsizetype bad = InvalidUtf8At(data + pos, length);
        if (bad >= 0)
            RaiseInputError(line,
                            QStringLiteral("invalid UTF-8 (byte 0x%1 at byte %2 of the line); "
                                           "save the file as UTF-8 and try again")
                                .arg(unsigned(data[pos + bad]), 2, 16, QLatin1Char('0'))
                                .arg(bad + 1));
        if (state.betweenRecords && !blank) {
            state.recordLine = line;
            state.betweenRecords = false;
        }
        if (csv_parse(parser.get(), data + pos, size_t(length), OnField, OnRecordEnd, &state) != size_t(length)) {
            if (csv_error(parser.get()) == CSV_EPARSE)
                RaiseInputError(line,
                                QStringLiteral("broken quoting: a quote inside an unquoted field, "
                                               "or text after a closing quote"));
            RaiseInputError(line, QString::fromUtf8(csv_strerror(csv_error(parser.get()))));
        }
        pos = end;
        if (progress && qsizetype(state.records.size()) >= reported + 1000) {
            reported = qsizetype(state.records.size());
            progress(reported);
        }
    }
    if (csv_fini(parser.get(), OnField, OnRecordEnd, &state) != 0 || csv_error(parser.get()) == CSV_EPARSE)
        RaiseInputError(state.recordLine, QStringLiteral("a quoted field is never closed"));

    if (state.records.empty())
        RaiseInputError(0, QStringLiteral("the file is empty"));
    const qsizetype columns = state.records.front().fields.size();
    for (const CsvRecord& record : state.records) {
        if (record.fields.size() != columns)
            RaiseInputError(
                record.line,
                QStringLiteral("%1 field(s) where the header row has %2").arg(record.fields.size()).arg(columns));
    }
    if (progress)
        progress(qsizetype(state.records.size()));
    wiper.armed = false;
    return std::move(state.records);
}

void WipeRecords(std::vector<CsvRecord>& records)
{
    for (CsvRecord& record : records)
        for (QString& field : record.fields)
            Secrets::wipe(field);
    records.clear();
}

void AppendCsvRecord(QByteArray& out, const QStringList& fields)
{
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i > 0)
            out += ',';
        QByteArray utf8 = fields[i].toUtf8();
        const size_t room = csv_write(nullptr, 0, utf8.constData(), size_t(utf8.size()));
        const qsizetype at = out.size();
        out.resize(at + qsizetype(room));
        csv_write(out.data() + at, room, utf8.constData(), size_t(utf8.size()));
        Secrets::wipe(utf8);
    }
    out += "\r\n";
}

}  // namespace Transfer
