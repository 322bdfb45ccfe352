#pragma once

#include "vault/fileops.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <vector>

namespace Health {

// The password's SHA-1 as the breach list spells it: 40 upper-case hex
// digits. The caller wipes it when done.
QByteArray sha1Hex(const QByteArray& utf8Password);

// The Have I Been Pwned password list, in either form its users download:
// one file ordered by hash, lines "SHA1HEX:COUNT" (searched by halving with
// positioned reads, never read whole), or the downloader's folder of range
// files 00000.txt ... FFFFF.txt, lines "SUFFIX35:COUNT" (one file read a
// lookup). Memory stays the same whatever the list's size. What a lookup
// touches is checked: a list out of order, a wrong line or another hash
// raises the unrecognised-format error, never a wrong count.
class BreachList {
public:
    // Raises AppError when the path is missing, empty or in neither form.
    explicit BreachList(const QString& path);
    BreachList(const BreachList&) = delete;
    BreachList& operator=(const BreachList&) = delete;

    // How often the password with this SHA-1 (sha1Hex) was seen; 0 when
    // never, or when its range file is missing.
    qint64 timesSeen(const QByteArray& hexDigest);

    bool isFolder() const { return folder_; }
    // Lookups whose range file was not in the folder.
    qint64 missingRanges() const { return missingRanges_; }

private:
    static constexpr int KeyLength = 40;
    using Key = std::array<char, KeyLength>;
    struct Line {
        Key key{};
        qint64 count = 0;
        qint64 start = 0;
        qint64 end = 0;  // where the next line starts
    };

    qint64 searchFile(const Key& target);
    Line lineAfter(qint64 offset);
    Line parseLine(const char* text, qint64 available, qint64 start) const;
    void requireBetween(const Line& line, const Line* below, const Line* above) const;
    qint64 readAt(char* into, qint64 length, qint64 offset) const;
    void readWindow(qint64 from, qint64 to);
    qint64 searchRange(const QByteArray& hexDigest);
    [[noreturn]] void refuse(const QString& why, qint64 offset = -1) const;

    QString path_;
    bool folder_ = false;
    FileOps::FileHandle file_;
    qint64 size_ = 0;
    qint64 missingRanges_ = 0;
    // The first halvings probe the same lines for every lookup: kept by
    // their place in the tree of halvings (1, then 2n left and 2n + 1 right).
    std::vector<Line> probes_;
    // The last stretch of a search, read whole: the halvings left run in
    // memory.
    std::vector<char> window_;
    qint64 windowStart_ = 0;
    qint64 windowEnd_ = 0;
};

}  // namespace Health
