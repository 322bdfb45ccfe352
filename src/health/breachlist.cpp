#include "health/breachlist.h"

#include "vault/apperror.h"
#include "vault/wipe.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Health {

namespace {

constexpr int SuffixLength = 35;  // a range file's lines leave out the file name's 5 digits
constexpr int MostCountDigits = 18;  // fits a qint64
// Longest line of the ordered file: hash, colon, count, CR LF.
constexpr qint64 LongestLine = 40 + 1 + MostCountDigits + 2;
// Below this many bytes the rest of the search is one read and a scan.
constexpr qint64 ScanBytes = 1024;
// Probes of the first 16 halvings are kept: at most 2^16 lines, 4 MB.
constexpr size_t KeptProbes = size_t(1) << 16;
// A stretch this short is read whole once the kept probes run out.
constexpr qint64 WindowBytes = 64 * 1024;
// A range file holds about 1,000 lines; far more is not one.
constexpr qint64 LargestRangeFile = 4 * 1024 * 1024;

bool isUpperHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// Upper-case hex digits at the start of `text`, up to `most`.
int hexRun(const char* text, qint64 available, int most)
{
    int n = 0;
    while (n < available && n < most && isUpperHex(text[n]))
        ++n;
    return n;
}

// The count after the colon and the line's end ("\r\n", or "\n"); the
// length of the line, or -1 when it is not so. `last` lets a line end at
// the end of the text without a line break (a range file's last line).
qint64 parseCount(const char* text, qint64 available, qint64 at, qint64& count, bool last)
{
    qint64 digits = 0;
    count = 0;
    while (at + digits < available && text[at + digits] >= '0' && text[at + digits] <= '9') {
        if (++digits > MostCountDigits)
            return -1;
        count = count * 10 + (text[at + digits - 1] - '0');
    }
    if (digits == 0)
        return -1;
    at += digits;
    if (at == available)
        return last ? at : -1;
    if (text[at] == '\r')
        ++at;
    if (at < available && text[at] == '\n')
        return at + 1;
    return last && at == available ? at : -1;
}

}  // namespace

QByteArray sha1Hex(const QByteArray& utf8Password)
{
    QByteArray digest = QCryptographicHash::hash(utf8Password, QCryptographicHash::Sha1);
    QByteArray hex = digest.toHex().toUpper();
    Secrets::wipe(digest);
    return hex;
}

BreachList::BreachList(const QString& path) : path_(path)
{
    const QByteArray local = QFile::encodeName(path);
    struct stat info { };
    if (::stat(local.constData(), &info) != 0)
        raiseFileError(errno, path, QStringLiteral("read the breach list"));
    folder_ = S_ISDIR(info.st_mode);
    if (folder_) {
        // One range file is enough to know the folder for one.
        DIR* dir = ::opendir(local.constData());
        if (!dir)
            raiseFileError(errno, path, QStringLiteral("read the breach list"));
        bool any = false;
        while (const dirent* entry = ::readdir(dir)) {
            const char* name = entry->d_name;
            if (std::strlen(name) == 9 && hexRun(name, 5, 5) == 5 && std::strcmp(name + 5, ".txt") == 0) {
                any = true;
                break;
            }
        }
        ::closedir(dir);
        if (!any)
            refuse(QStringLiteral("holds no range files (00000.txt to FFFFF.txt)"));
        return;
    }
    file_ = FileOps::FileHandle(::open(local.constData(), O_RDONLY | O_CLOEXEC));
    if (!file_.isOpen())
        raiseFileError(errno, path, QStringLiteral("read the breach list"));
    if (::fstat(file_.get(), &info) != 0)
        raiseFileError(errno, path, QStringLiteral("read the breach list"));
    size_ = info.st_size;
    size_t nodes = 2;
    while (nodes < KeptProbes && qint64(nodes) * ScanBytes < 2 * size_)
        nodes *= 2;
    probes_.resize(nodes);
    if (size_ == 0)
        refuse(QStringLiteral("is empty"));
    // The first and the last line tell a list of another kind, and one cut
    // short, before any lookup.
    char tail[LongestLine + 1];
    const qint64 tailStart = std::max<qint64>(0, size_ - qint64(sizeof tail));
    const qint64 got = readAt(tail, size_ - tailStart, tailStart);
    if (tail[got - 1] != '\n')
        refuse(QStringLiteral("ends in the middle of a line"));
    const Line first = lineAfter(0);
    const char* lastBreak =
        std::find(std::make_reverse_iterator(tail + got - 1), std::make_reverse_iterator(tail), '\n').base();
    const qint64 lastStart = tailStart + (lastBreak - tail);
    if (lastBreak == tail && tailStart > 0)
        refuse(QStringLiteral("has a line that is not SHA1HEX:COUNT"), lastStart);
    const Line last = lineAfter(lastStart);
    if (last.end != size_ || (first.start != last.start && first.key >= last.key))
        refuse(QStringLiteral("is not ordered by hash: its last line is not after its first"));
}

qint64 BreachList::timesSeen(const QByteArray& hexDigest)
{
    if (hexDigest.size() != KeyLength || hexRun(hexDigest.constData(), KeyLength, KeyLength) != KeyLength)
        throw AppError(ErrorCode::UnrecognizedFormat, QStringLiteral("Not a SHA-1 digest."), ErrorSource::Files);
    if (folder_)
        return searchRange(hexDigest);
    Key target;
    std::memcpy(target.data(), hexDigest.constData(), KeyLength);
    const qint64 count = searchFile(target);
    sodium_memzero(target.data(), target.size());
    return count;
}

// Halves [lo, hi) by byte offsets, each probe the whole line after the
// middle; every line seen must lie between the ones that bound it.
qint64 BreachList::searchFile(const Key& target)
{
    qint64 lo = 0;
    qint64 hi = size_;
    Line below;
    Line above;
    bool haveBelow = false;
    bool haveAbove = false;
    windowStart_ = windowEnd_ = 0;
    for (size_t node = 1; hi - lo > ScanBytes;) {
        const qint64 middle = lo + (hi - lo) / 2;
        const bool kept = node < probes_.size();
        if (!kept && hi - lo <= WindowBytes && windowEnd_ == 0)
            readWindow(lo, hi);
        if (kept && probes_[node].end == 0)
            probes_[node] = lineAfter(middle);
        const Line probe = kept ? probes_[node] : lineAfter(middle);
        requireBetween(probe, haveBelow ? &below : nullptr, haveAbove ? &above : nullptr);
        if (probe.key == target)
            return probe.count;
        const bool right = probe.key < target;
        if (right) {
            lo = probe.end;
            below = probe;
            haveBelow = true;
        } else {
            hi = probe.start;
            above = probe;
            haveAbove = true;
        }
        node = 2 * node + (right ? 1 : 0);
    }
    if (lo >= hi)
        return 0;
    char block[ScanBytes];
    readAt(block, hi - lo, lo);
    for (qint64 at = 0; at < hi - lo;) {
        Line line = parseLine(block + at, hi - lo - at, lo + at);
        requireBetween(line, haveBelow ? &below : nullptr, haveAbove ? &above : nullptr);
        if (line.key == target)
            return line.count;
        if (target < line.key)
            return 0;
        at = line.end - lo;
        below = line;
        haveBelow = true;
    }
    return 0;
}

// The whole line that starts after `offset` (at it, for offset 0).
BreachList::Line BreachList::lineAfter(qint64 offset)
{
    char block[2 * LongestLine + 2];
    const qint64 from = offset == 0 ? 0 : offset - 1;
    const qint64 got = readAt(block, std::min<qint64>(sizeof block, size_ - from), from);
    qint64 start = 0;
    if (offset > 0) {
        const char* lineBreak = std::find(block, block + std::min<qint64>(got, LongestLine), '\n');
        if (lineBreak == block + std::min<qint64>(got, LongestLine))
            refuse(QStringLiteral("has a line that is not SHA1HEX:COUNT"), from);
        start = lineBreak - block + 1;
    }
    return parseLine(block + start, got - start, from + start);
}

BreachList::Line BreachList::parseLine(const char* text, qint64 available, qint64 start) const
{
    Line line;
    line.start = start;
    qint64 count = 0;
    const qint64 length =
        hexRun(text, available, KeyLength) == KeyLength && available > KeyLength && text[KeyLength] == ':'
        ? parseCount(text, available, KeyLength + 1, count, false)
        : -1;
    if (length < 0) {
        const int digits = hexRun(text, available, 4 * KeyLength);
        if (digits != KeyLength && digits > 0 && digits < available && text[digits] == ':')
            refuse(
                QStringLiteral("holds hashes of %1 hex digits, not SHA-1's 40: download the SHA-1 list").arg(digits));
        refuse(start + available >= size_ && std::find(text, text + available, '\n') == text + available
                   ? QStringLiteral("ends in the middle of a line")
                   : QStringLiteral("has a line that is not SHA1HEX:COUNT"),
               start);
    }
    std::memcpy(line.key.data(), text, KeyLength);
    line.count = count;
    line.end = start + length;
    return line;
}

void BreachList::requireBetween(const Line& line, const Line* below, const Line* above) const
{
    if ((below && !(below->key < line.key)) || (above && !(line.key < above->key)))
        refuse(QStringLiteral("is not ordered by hash"), line.start);
}

void BreachList::readWindow(qint64 from, qint64 to)
{
    window_.resize(size_t(WindowBytes));
    windowStart_ = windowEnd_ = 0;
    readAt(window_.data(), to - from, from);
    windowStart_ = from;
    windowEnd_ = to;
}

qint64 BreachList::readAt(char* into, qint64 length, qint64 offset) const
{
    if (windowEnd_ > windowStart_ && offset >= windowStart_ && offset + length <= windowEnd_) {
        std::memcpy(into, window_.data() + (offset - windowStart_), size_t(length));
        return length;
    }
    qint64 done = 0;
    while (done < length) {
        const ssize_t got = ::pread(file_.get(), into + done, size_t(length - done), off_t(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            raiseFileError(errno, path_, QStringLiteral("read the breach list"));
        if (got == 0)
            refuse(QStringLiteral("became shorter while it was read"));
        done += got;
    }
    return done;
}

qint64 BreachList::searchRange(const QByteArray& hexDigest)
{
    const QString file = path_ + QLatin1Char('/') + QLatin1String(hexDigest.left(5)) + QStringLiteral(".txt");
    FileOps::FileHandle range(::open(QFile::encodeName(file).constData(), O_RDONLY | O_CLOEXEC));
    if (!range.isOpen()) {
        if (errno != ENOENT)
            raiseFileError(errno, file, QStringLiteral("read the breach list"));
        ++missingRanges_;
        return 0;
    }
    struct stat info { };
    if (::fstat(range.get(), &info) != 0)
        raiseFileError(errno, file, QStringLiteral("read the breach list"));
    if (info.st_size > LargestRangeFile)
        refuse(QStringLiteral("has a range file too large to be one: %1").arg(QFileInfo(file).fileName()));
    QByteArray text(qsizetype(info.st_size), Qt::Uninitialized);
    qint64 got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(range.get(), text.data() + got, size_t(text.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            raiseFileError(errno, file, QStringLiteral("read the breach list"));
        if (n == 0)
            break;
        got += n;
    }
    const char* suffix = hexDigest.constData() + 5;
    const char* previous = nullptr;
    qint64 found = 0;
    for (qint64 at = 0; at < got;) {
        const char* line = text.constData() + at;
        const int digits = hexRun(line, got - at, SuffixLength + 1);
        qint64 count = 0;
        const qint64 length = digits == SuffixLength && at + digits < got && line[digits] == ':'
            ? parseCount(line, got - at, SuffixLength + 1, count, true)
            : -1;
        if (length < 0)
            refuse(QStringLiteral("has a line that is not SUFFIX:COUNT in %1").arg(QFileInfo(file).fileName()), at);
        if (previous && std::memcmp(previous, line, SuffixLength) >= 0)
            refuse(QStringLiteral("has a range file out of order: %1").arg(QFileInfo(file).fileName()), at);
        if (std::memcmp(line, suffix, SuffixLength) == 0)
            found = count;
        previous = line;
        at += length;
    }
    return found;
}

void BreachList::refuse(const QString& why, qint64 offset) const
{
    const QString where = offset >= 0 ? QStringLiteral(" (at byte %1)").arg(offset) : QString();
    throw AppError(ErrorCode::UnrecognizedFormat,
                   QStringLiteral("The breach list %1 %2%3; it is not the Have I Been Pwned SHA-1 list ordered by "
                                  "hash, nor a folder of its range files.")
                       .arg(path_, why, where),
                   ErrorSource::Files);
}

}  // namespace Health
