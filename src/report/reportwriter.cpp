#include "report/reportwriter.h"

#include "shared/secrets.h"
#include "vault/apperror.h"
#include "vault/fileops.h"
#include "vault/stringcipher.h"
#include "vault/vaultstore.h"

#include <QUrl>
#include <QScopeGuard>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Grows the report in place; when it must move, the old buffer is zeroed, so
// no part of the report stays behind in freed memory.
void append(QByteArray& out, QByteArrayView piece)
{
    const qsizetype needed = out.size() + piece.size();
    if (needed > out.capacity() || !out.isDetached()) {
        QByteArray larger;
        larger.reserve(std::max(needed, 2 * out.capacity()));
        larger.append(QByteArrayView(out));
        Secrets::wipe(out);
        out = std::move(larger);
    }
    out.append(piece);
}

// The value's escaped and encoded copies are zeroed once they are in.
void appendRow(QByteArray& out, const char* caption, const QString& value)
{
    append(out, CellOpen);
    append(out, caption);
    append(out, CellMiddle);
    QString escaped = HtmlEscape(value);
    QByteArray encoded = escaped.toUtf8();
    append(out, encoded);
    Secrets::wipe(encoded);
    Secrets::wipe(escaped);
    append(out, CellClose);
}

void writeAll(int fd, const QByteArray& bytes, const QString& path)
{
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            RaiseFileError(errno, path, QStringLiteral("write"));
        }
        data += written;
        left -= written;
    }
}

}  // namespace

QString HtmlEscape(const QString& text)
{
    QString escaped;
    // Room for the longest entity throughout: the text never moves, so no
    // copy of a password is left behind.
    escaped.reserve(text.size() * 6);
    for (const QChar c : text) {
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
        default:
            escaped += c;
        }
    }
    return escaped;
}

QByteArray ReportContent(VaultStore& vault)
{
    QByteArray out;
    out.reserve(4096);
    try {
        append(out, ByteOrderMark);
        append(out, "<html>");
        append(out, DoubleEnd);
        append(out, "<!-- Quillock Account Report -->");
        append(out, DoubleEnd);
        append(out, "<p><img src=\"picture.gif\" align=\"center\"><font face=\"arial\" size=5><b>");
        append(out, DoubleEnd);
        append(out, "Quillock Account Report</b></font></p>");
        append(out, LineEnd);

        vault.forEachAccount([&out](const AccountRow& account) {
            const AccountFields& f = account.fields;
            QString username;
            QString password;
            const auto forget = qScopeGuard([&] {
                Secrets::wipe(username);
                Secrets::wipe(password);
            });
            username = DecryptField(f.username);
            password = DecryptField(f.password);
            append(out, "<table cellspacing=2 cellpadding=2 border=0>");
            append(out, DoubleEnd);
            appendRow(out, "Account Name:", f.account);
            append(out, LineEnd);
            appendRow(out, "Username:", username);
            appendRow(out, "Password:", password);
            append(out, LineEnd);
            appendRow(out, "URL:", f.url);
            append(out, LineEnd);
            appendRow(out, "Hint:", f.hint);
            append(out, LineEnd);
            appendRow(out, "Other Notes:", f.notes);
            append(out, LineEnd);
            append(out, "</table>");
            append(out, LineEnd);
            append(out, "<p>");
            append(out, LineEnd);
        });
    } catch (...) {
        Secrets::wipe(out);
        throw;
    }
    return out;
}

void WriteReport(VaultStore& vault, const QString& path)
{
    // Everything is deciphered before the disk is touched, so a field that
    // does not open leaves the earlier report as it was.
    QByteArray content = ReportContent(vault);
    const auto forget = qScopeGuard([&content] { Secrets::wipe(content); });
    const QByteArray target = path.toUtf8();

    // Replacing by rename would get past a report its owner made read-only.
    if (::faccessat(AT_FDCWD, target.constData(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0
        && errno != ENOENT)
        RaiseFileError(errno, path, QStringLiteral("write"));

    // A fresh file made 0600 and renamed into place: no reader of the old
    // file, and no one but the owner, ever sees the passwords.
    QByteArray temporary = target + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        RaiseFileError(errno, path, QStringLiteral("create"));
    bool stillOpen = true;
    try {
        writeAll(fd, content, path);
        // A full disk may only show when the data reaches it.
        if (::fsync(fd) != 0)
            RaiseFileError(errno, path, QStringLiteral("write"));
        stillOpen = false;  // the descriptor is gone after close, even when close fails
        if (::close(fd) != 0)
            RaiseFileError(errno, path, QStringLiteral("write"));
        FileOps::rename(QString::fromUtf8(temporary), path);
    } catch (...) {
        if (stillOpen)
            ::close(fd);
        ::unlink(temporary.constData());
        throw;
    }
    FileOps::syncFolderOf(path);
}

QString ReportAddress(const QString& appFolder)
{
    return QUrl::fromLocalFile(appFolder + QStringLiteral("/report.htm")).toString(QUrl::FullyEncoded);
}
