#include "report/reportwriter.h"

#include "vault/apperror.h"
#include "vault/fileops.h"
#include "vault/stringcipher.h"
#include "vault/vaultstore.h"

#include <QUrl>
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

QByteArray row(const char* caption, const QString& value)
{
    return QByteArray(CellOpen) + caption + CellMiddle + HtmlEscape(value).toUtf8() + CellClose;
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
    escaped.reserve(text.size());
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
    QByteArray out(ByteOrderMark);
    out += QByteArray("<html>") + DoubleEnd;
    out += QByteArray("<!-- Quillock Account Report -->") + DoubleEnd;
    out += QByteArray("<p><img src=\"picture.gif\" align=\"center\"><font face=\"arial\" size=5><b>") + DoubleEnd;
    out += QByteArray("Quillock Account Report</b></font></p>") + LineEnd;

    vault.forEachAccount([&out](const AccountRow& account) {
        const AccountFields& f = account.fields;
        const QString username = DecryptField(f.username);
        const QString password = DecryptField(f.password);
        out += QByteArray("<table cellspacing=2 cellpadding=2 border=0>") + DoubleEnd;
        out += row("Account Name:", f.account) + LineEnd;
        out += row("Username:", username) + row("Password:", password) + LineEnd;
        out += row("URL:", f.url) + LineEnd;
        out += row("Hint:", f.hint) + LineEnd;
        out += row("Other Notes:", f.notes) + LineEnd;
        out += QByteArray("</table>") + LineEnd;
        out += QByteArray("<p>") + LineEnd;
    });
    return out;
}

void WriteReport(VaultStore& vault, const QString& path)
{
    // Everything is deciphered before the disk is touched, so a field that
    // does not open leaves the earlier report as it was.
    const QByteArray content = ReportContent(vault);
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
