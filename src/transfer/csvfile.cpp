#include "transfer/csvfile.h"

#include "transfer/transfer.h"
#include "vault/apperror.h"
#include "vault/fileops.h"
#include "vault/wipe.h"

#include <csv.h>
#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Transfer {

namespace {

// Offset of the first byte that does not begin a well-formed UTF-8
// sequence, or -1. Overlong forms, surrogates and code points past
// U+10FFFF are ill-formed: text taken in must be exact Unicode.
qsizetype invalidUtf8At(const unsigned char* p, qsizetype n)
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

// libcsv grows its field buffer by 128 bytes at a time through realloc:
// a long field is copied over and over, and every copy left behind in
// freed memory holds the field's text, a password perhaps. Here a block
// grows by doubling and is wiped before it is freed. Its capacity is kept
// in front of it.
constexpr size_t BlockHead = alignof(std::max_align_t);

size_t& capacityOf(void* block)
{
    return *reinterpret_cast<size_t*>(static_cast<unsigned char*>(block) - BlockHead);
}

void freeBlock(void* block)
{
    if (!block)
        return;
    sodium_memzero(block, capacityOf(block));
    std::free(static_cast<unsigned char*>(block) - BlockHead);
}

void* growBlock(void* old, size_t size)
{
    const size_t had = old ? capacityOf(old) : 0;
    if (size <= had)
        return old;
    const size_t capacity = std::max({size, 2 * had, size_t(1024)});
    auto* base = static_cast<unsigned char*>(std::malloc(capacity + BlockHead));
    if (!base)
        return nullptr;
    void* block = base + BlockHead;
    capacityOf(block) = capacity;
    if (old)
        std::memcpy(block, old, had);
    freeBlock(old);
    return block;
}

// Blanks belong to the field: a password may begin or end with one.
int noSpaces(unsigned char)
{
    return 0;
}

}  // namespace

struct CsvReader::Parser {
    Parser()
    {
        if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI) != 0)
            raiseInputError(0, QStringLiteral("the CSV reader could not start"));
        csv_set_space_func(&parser, noSpaces);
        csv_set_realloc_func(&parser, growBlock);
        csv_set_free_func(&parser, freeBlock);
    }
    ~Parser() { csv_free(&parser); }
    csv_parser parser{};
};

CsvRecord::~CsvRecord()
{
    Secrets::wipe(text_);
}

CsvRecord& CsvRecord::operator=(const CsvRecord& other)
{
    if (this != &other) {
        Secrets::wipe(text_);
        line = other.line;
        lastLine = other.lastLine;
        begin = other.begin;
        text_ = other.text_;
        size_ = other.size_;
        foundField_ = foundAt_ = 0;
    }
    return *this;
}

QByteArrayView CsvRecord::bytes(qsizetype i) const
{
    if (i < 0 || i >= size_)
        return {};
    if (i < foundField_)
        foundField_ = foundAt_ = 0;
    const char* text = text_.constData();
    for (; foundField_ < i; ++foundField_)
        foundAt_ += qsizetype(std::strlen(text + foundAt_)) + 1;
    return QByteArrayView(text + foundAt_, qsizetype(std::strlen(text + foundAt_)));
}

QString CsvRecord::field(qsizetype i) const
{
    return QString::fromUtf8(bytes(i));
}

QStringList CsvRecord::fields() const
{
    QStringList all;
    for (qsizetype i = 0; i < size(); ++i)
        all << field(i);
    return all;
}

void CsvRecord::appendField(const char* data, size_t length)
{
    const qsizetype needed = text_.size() + qsizetype(length) + 1;
    if (needed > Secrets::roomFromData(text_)) {
        // Grown by hand, so the old buffer is wiped rather than freed as it is.
        QByteArray grown;
        grown.reserve(std::max<qsizetype>({needed, 2 * Secrets::roomFromData(text_), 256}));
        grown.append(text_.constData(), text_.size());
        Secrets::wipe(text_);
        text_ = std::move(grown);
    }
    text_.append(data, qsizetype(length));
    text_.append('\0');
    ++size_;
}

void CsvRecord::clear()
{
    if (text_.isDetached()) {
        Secrets::zeroAllocation(text_, text_.size());
        text_.truncate(0);  // the buffer stays for the next record
    } else {
        text_ = QByteArray();
    }
    size_ = foundField_ = foundAt_ = 0;
    line = lastLine = begin = 0;
}

CsvDialect sniffDialect(const QByteArray& text)
{
    qsizetype commas = 0;
    qsizetype semicolons = 0;
    qsizetype tabs = 0;
    bool quoted = false;
    for (const char c : text) {
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && (c == '\n' || c == '\r'))
            break;
        else if (!quoted)
            commas += c == ',', semicolons += c == ';', tabs += c == '\t';
    }
    CsvDialect dialect;
    if (semicolons > commas && semicolons >= tabs)
        dialect.separator = ';';
    else if (tabs > commas && tabs > semicolons)
        dialect.separator = '\t';
    return dialect;
}

CsvReader::CsvReader(const QByteArray& text, const CsvDialect& dialect, qsizetype from, qsizetype line)
    : data_(reinterpret_cast<const unsigned char*>(text.constData())), size_(text.size()), pos_(from), line_(line - 1),
      parser_(std::make_unique<Parser>()), separator_(dialect.separator), backslashEscapes_(dialect.backslashEscapes)
{
    if (from == 0 && size_ >= 3 && data_[0] == 0xEF && data_[1] == 0xBB && data_[2] == 0xBF)
        pos_ = 3;
    csv_set_delim(&parser_->parser, static_cast<unsigned char>(dialect.separator));
}

CsvReader::~CsvReader()
{
    Secrets::wipe(rewritten_);
}

void CsvReader::onField(void* data, size_t length, void* user)
{
    static_cast<CsvReader*>(user)->record_->appendField(static_cast<const char*>(data), length);
}

void CsvReader::onRecordEnd(int, void* user)
{
    static_cast<CsvReader*>(user)->ended_ = true;
}

bool CsvReader::next(CsvRecord& record)
{
    record.clear();
    record_ = &record;
    ended_ = false;
    while (!ended_ && pos_ < size_)
        feedLine();
    if (!ended_ && !finished_) {
        finished_ = true;
        csv_parser* parser = &parser_->parser;
        if (csv_fini(parser, onField, onRecordEnd, this) != 0 || csv_error(parser) == CSV_EPARSE)
            raiseInputError(record.line, QStringLiteral("a quoted field is never closed"));
    }
    record_ = nullptr;
    return ended_;
}

void CsvReader::feedLine()
{
    ++line_;
    qsizetype end = pos_;
    while (end < size_ && data_[end] != '\n' && data_[end] != '\r')
        ++end;
    const bool blank = end == pos_;
    // CR CR LF is one line end: CRLF written again through a text-mode conversion.
    const auto endsWith = [&](const char* crlf) {
        const qsizetype n = qsizetype(std::strlen(crlf));
        return end + n <= size_ && std::memcmp(data_ + end, crlf, size_t(n)) == 0;
    };
    if (end < size_)
        end += endsWith("\r\r\n") ? 3 : endsWith("\r\n") ? 2 : 1;
    const qsizetype length = end - pos_;
    checkText(length);
    if (record_->line == 0 && !blank) {
        record_->line = line_;
        record_->begin = pos_;
    }
    if (record_->line > 0)
        record_->lastLine = line_;
    csv_parser* parser = &parser_->parser;
    const QByteArrayView text = readable(length);
    if (csv_parse(parser, text.data(), size_t(text.size()), onField, onRecordEnd, this) != size_t(text.size())) {
        if (csv_error(parser) == CSV_EPARSE)
            raiseInputError(line_, QStringLiteral("broken quoting: text follows the closing quote of a field"));
        raiseInputError(line_, QString::fromUtf8(csv_strerror(csv_error(parser))));
    }
    pos_ = end;
}

void CsvReader::checkText(qsizetype length) const
{
    if (std::memchr(data_ + pos_, 0, size_t(length)))
        raiseInputError(line_, QStringLiteral("a NUL byte: this is a binary file, not CSV text"));
    const qsizetype bad = invalidUtf8At(data_ + pos_, length);
    if (bad >= 0)
        raiseInputError(line_,
                        QStringLiteral("invalid UTF-8 (byte 0x%1 at byte %2 of the line); "
                                       "save the file as UTF-8 and try again")
                            .arg(unsigned(data_[pos_ + bad]), 2, 16, QLatin1Char('0'))
                            .arg(bad + 1));
}

QByteArrayView CsvReader::readable(qsizetype length)
{
    const auto* line = reinterpret_cast<const char*>(data_ + pos_);
    if (!backslashEscapes_) {
        // Most lines hold no quote, or only quoted fields: read as they are.
        if (!std::memchr(line, '"', size_t(length))) {
            quoting_ = quoting_ == Quoting::Quoted ? Quoting::Quoted : Quoting::FieldStart;
            return QByteArrayView(line, length);
        }
        if (Quoting after = quoting_; !rewrite(line, length, nullptr, after)) {
            quoting_ = after;
            return QByteArrayView(line, length);
        }
    }
    // Never grown while in use: a line at most triples.
    if (const qsizetype room = 3 * length + 2; Secrets::roomFromData(rewritten_) < room) {
        Secrets::wipe(rewritten_);
        rewritten_.reserve(room);
    } else if (rewritten_.isDetached()) {
        Secrets::zeroAllocation(rewritten_, rewritten_.size());
    }
    rewritten_.truncate(0);
    rewrite(line, length, &rewritten_, quoting_);
    return rewritten_;
}

// Goes through the line from `state`; with `out`, writes it as libcsv's
// strict rules read it. Whether the line needs that.
bool CsvReader::rewrite(const char* line, qsizetype length, QByteArray* out, Quoting& state) const
{
    bool changed = false;
    qsizetype fieldBegin = 0;  // where an unquoted field began, in the line and in `out`
    qsizetype fieldStart = 0;
    bool wrapped = false;  // that field is put in quotes
    const auto put = [&](const char* text, qsizetype n) {
        if (out)
            out->append(text, n);
    };
    const auto endField = [&] {
        if (wrapped)
            put("\"", 1);
        wrapped = false;
    };
    for (qsizetype i = 0; i < length; ++i) {
        if (state == Quoting::Quoted && !backslashEscapes_) {
            // Up to its next quote, a quoted field's text is taken as it is.
            const auto* quote = static_cast<const char*>(std::memchr(line + i, '"', size_t(length - i)));
            const qsizetype to = quote ? qsizetype(quote - line) : length;
            put(line + i, to - i);
            if ((i = to) == length)
                break;
        }
        const char c = line[i];
        const bool fieldEnd = c == separator_ || c == '\n' || c == '\r';
        switch (state) {
        case Quoting::FieldStart:
            fieldBegin = i;
            fieldStart = out ? out->size() : 0;
            state = c == '"' ? Quoting::Quoted : fieldEnd ? Quoting::FieldStart : Quoting::Unquoted;
            break;
        case Quoting::Unquoted:
            if (fieldEnd) {
                endField();
                state = Quoting::FieldStart;
            } else if (c == '"' && !wrapped) {
                // Written again in quotes: inserting would move the text within its buffer.
                changed = wrapped = true;
                if (out)
                    out->truncate(fieldStart);
                put("\"", 1);
                i = fieldBegin - 1;
                continue;
            } else if (c == '"') {
                put("\"", 1);  // doubled
            }
            break;
        case Quoting::Quoted:
            if (backslashEscapes_ && c == '\\' && i + 1 < length) {
                const char escaped = line[++i];
                put(escaped == '"' ? "\"\"" : &escaped, escaped == '"' ? 2 : 1);
                changed = true;
                continue;
            }
            state = c == '"' ? Quoting::AfterQuote : Quoting::Quoted;
            break;
        case Quoting::AfterQuote:
            // Text after a closing quote stays as it is, for libcsv to refuse.
            state = c == '"' ? Quoting::Quoted : fieldEnd ? Quoting::FieldStart : Quoting::AfterQuote;
            break;
        }
        put(&c, 1);
    }
    endField();
    return changed;
}

QByteArray readInputFile(const QString& path)
{
    const QByteArray native = path.toUtf8();
    // Not blocking: a named pipe given by mistake is refused, not waited on.
    const FileOps::FileHandle file(::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file.isOpen())
        raiseFileError(errno, path, QStringLiteral("read"));
    const int fd = file.get();

    struct stat info { };
    if (::fstat(fd, &info) != 0)
        raiseFileError(errno, path, QStringLiteral("read"));
    if (!S_ISREG(info.st_mode))
        raiseInputError(0, QStringLiteral("not a regular file"));
    if (info.st_size > MaxInputBytes)
        raiseInputError(0,
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
                raiseInputError(
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
            raiseFileError(error, path, QStringLiteral("read"));
        }
        if (got == 0)
            break;
        filled += got;
    }
    bytes.truncate(filled);
    return bytes;
}

void appendCsvRecord(QByteArray& out, const QStringList& fields)
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
