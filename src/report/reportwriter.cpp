#include "report/reportwriter.h"

#include "vault/apperror.h"
#include "vault/fileops.h"
#include "vault/stringcipher.h"
#include "vault/vaultstore.h"
#include "vault/wipe.h"

#include <QScopeGuard>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The report's fixed layout: lines 1, 2, 3 and 5 end in CR CR LF.
constexpr const char* DoubleEnd = "\r\r\n";
constexpr const char* LineEnd = "\r\n";

// A browser reads the page as UTF-8 only when told; the page has no
// character-set declaration, so the mark tells it.
constexpr const char ByteOrderMark[] = "\xEF\xBB\xBF";

constexpr const char* CellOpen = "<tr><td><font face=\"arial\"><b>";
constexpr const char* CellMiddle = "</b></td><td><font face=\"arial\">";
constexpr const char* CellClose = "</td></tr>";

// The report goes out through a buffer of fixed size that never moves and is
// zeroed each time it has been handed on, so the whole report is never in
// memory at once and no part of it stays behind in freed memory.
class ReportStream {
public:
    explicit ReportStream(ReportSink sink) : sink_(std::move(sink)), buffer_(Capacity) { }
    ~ReportStream() { sodium_memzero(buffer_.data(), buffer_.size()); }
    ReportStream(const ReportStream&) = delete;
    ReportStream& operator=(const ReportStream&) = delete;

    void append(QByteArrayView piece)
    {
        while (!piece.isEmpty()) {
            const qsizetype take = std::min(piece.size(), qsizetype(Capacity - used_));
            std::memcpy(buffer_.data() + used_, piece.data(), size_t(take));
            used_ += size_t(take);
            piece = piece.sliced(take);
            if (used_ == Capacity)
                flush();
        }
    }

    // The value's UTF-8 is escaped straight into the buffer (every character
    // escaped is ASCII, which no multi-byte sequence contains) and zeroed.
    void appendRow(const char* caption, const QString& value)
    {
        append(CellOpen);
        append(caption);
        append(CellMiddle);
        QByteArray encoded = value.toUtf8();
        appendEscaped(encoded);
        Secrets::wipe(encoded);
        append(CellClose);
    }

    // A value as the vault holds it, as the text QString::fromUtf8 makes of
    // it: valid UTF-8 reads back byte for byte but for a leading byte order
    // mark, which it drops; anything else goes through it.
    void appendStoredRow(const char* caption, QByteArrayView stored)
    {
        if (!stored.isValidUtf8() || stored.startsWith("\xEF\xBB\xBF")) {
            appendRow(caption, QString::fromUtf8(stored));
            return;
        }
        append(CellOpen);
        append(caption);
        append(CellMiddle);
        appendEscaped(stored);
        append(CellClose);
    }

    // As htmlEscape does it, on UTF-8.
    void appendEscaped(QByteArrayView text)
    {
        qsizetype plain = 0;
        for (qsizetype i = 0; i < text.size(); ++i) {
            const char c = text[i];
            const char* entity = nullptr;
            switch (c) {
            case '&':
                entity = "&amp;";
                break;
            case '<':
                entity = "&lt;";
                break;
            case '>':
                entity = "&gt;";
                break;
            case '"':
                entity = "&quot;";
                break;
            case '\'':
                entity = "&#39;";
                break;
            case '\r':
            case '\n':
                if (c != '\n' || i == 0 || text[i - 1] != '\r')
                    entity = "<br>";
                break;
            default:
                break;
            }
            if (!entity)
                continue;
            append(text.sliced(plain, i - plain));
            append(entity);
            // A break stays after its "<br>".
            plain = c == '\r' || c == '\n' ? i : i + 1;
        }
        append(text.sliced(plain));
    }

    void flush()
    {
        if (used_ == 0)
            return;
        sink_(QByteArrayView(buffer_.data(), qsizetype(used_)));
        sodium_memzero(buffer_.data(), used_);
        used_ = 0;
    }

private:
    static constexpr size_t Capacity = 1024 * 1024;
    ReportSink sink_;
    std::vector<char> buffer_;
    size_t used_ = 0;
};

}  // namespace

QString htmlEscape(const QString& text)
{
    QString escaped;
    // Room for the longest entity throughout: the text never moves, so no
    // copy of a password is left behind.
    escaped.reserve(text.size() * 6);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        switch (c.unicode()) {
        case '&':
            escaped += QLatin1String("&amp;");
            break;
        case '<':
            escaped += QLatin1String("&lt;");
            break;
        case '>':
            escaped += QLatin1String("&gt;");
            break;
        case '"':
            escaped += QLatin1String("&quot;");
            break;
        case '\'':
            escaped += QLatin1String("&#39;");
            break;
        case '\r':
        case '\n':
            // HTML folds a bare break into a space; CR LF is one break.
            if (c != QLatin1Char('\n') || i == 0 || text.at(i - 1) != QLatin1Char('\r'))
                escaped += QLatin1String("<br>");
            escaped += c;
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

void writeReportTo(VaultStore& vault, const ReportSink& sink)
{
    ReportStream out(sink);
    out.append(ByteOrderMark);
    out.append("<html>");
    out.append(DoubleEnd);
    out.append("<!-- Quillock Account Report -->");
    out.append(DoubleEnd);
    out.append("<p><img src=\"picture.gif\" align=\"center\"><font face=\"arial\" size=5><b>");
    out.append(DoubleEnd);
    out.append("Quillock Account Report</b></font></p>");
    out.append(LineEnd);

    vault.forEachStoredAccount([&out, &vault](qint64, const VaultStore::StoredValues& values) {
        QString username;
        QString password;
        const auto forget = qScopeGuard([&] {
            Secrets::wipe(username);
            Secrets::wipe(password);
        });
        username = decryptField(QString::fromUtf8(values[1]));
        password = vault.openPassword(QString::fromUtf8(values[2]));
        out.append("<table cellspacing=2 cellpadding=2 border=0>");
        out.append(DoubleEnd);
        out.appendStoredRow("Account Name:", values[0]);
        out.append(LineEnd);
        out.appendRow("Username:", username);
        out.appendRow("Password:", password);
        out.append(LineEnd);
        out.appendStoredRow("URL:", values[3]);
        out.append(LineEnd);
        out.appendStoredRow("Hint:", values[4]);
        out.append(LineEnd);
        out.appendStoredRow("Other Notes:", values[5]);
        out.append(LineEnd);
        out.append("</table>");
        out.append(LineEnd);
        out.append("<p>");
        out.append(LineEnd);
    });
    out.flush();
}

QByteArray reportContent(VaultStore& vault)
{
    QByteArray content;
    writeReportTo(vault, [&content](QByteArrayView piece) { content.append(piece); });
    return content;
}

void writeReport(VaultStore& vault, const QString& path)
{
    // Replacing by rename would get past a report its owner made read-only.
    const QByteArray target = path.toUtf8();
    if (::faccessat(AT_FDCWD, target.constData(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0 && errno != ENOENT)
        raiseFileError(errno, path, QStringLiteral("write"));
    // Written whole beside the report and renamed into place: no reader of
    // the old file sees a part, and a field that does not open leaves the
    // earlier report as it was.
    FileOps::writeFile(path, FileOps::Placement::Replace, [&vault](FileOps::FileOutput& output) {
        writeReportTo(vault, [&output](QByteArrayView piece) { output.write(piece); });
    });
}

void removeReportScratch(const QString& appFolder)
{
    FileOps::removeLeftoverScratch(appFolder, ReportFileName);
}

QString reportAddress(const QString& appFolder)
{
    return QUrl::fromLocalFile(appFolder + QLatin1Char('/') + ReportFileName).toString(QUrl::FullyEncoded);
}
