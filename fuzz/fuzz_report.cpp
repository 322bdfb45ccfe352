// The report writer on arbitrary field values: the page's markup is exactly
// the program's own. Once the fixed layout is taken away, what is left of
// each field has "<br>" before each of its line breaks and nowhere else;
// without those it holds no '<', '>', '"', '\'' and no '&' that does not
// begin an entity, and it reads back as the stored value.
#include "report/reportwriter.h"
#include "vault/apperror.h"
#include "vault/sqlite.h"
#include "vault/stringcipher.h"
#include "vault/vaultstore.h"

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QTemporaryDir>
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <memory>
#include <vector>

namespace {

using Row = std::array<QString, 6>;  // account, username, password, url, hint, notes

[[noreturn]] void fail(const char* what, const QByteArray& detail)
{
    std::fprintf(stderr, "%s: %s\n", what, detail.constData());
    std::abort();
}

struct Vault {
    std::unique_ptr<QTemporaryDir> folder;
    std::unique_ptr<VaultStore> store;
    Database raw;
};

// One vault for the whole run; in memory when the machine has a tmpfs, as
// every input rewrites it.
Vault& vault()
{
    static Vault v;
    if (!v.store) {
        const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        v.folder = std::make_unique<QTemporaryDir>(base + QStringLiteral("/quillock-fuzz-XXXXXX"));
        const QString path = v.folder->filePath(QStringLiteral("data.mdb"));
        VaultStore::createFresh(path);
        v.store = VaultStore::open(path);
        v.raw.open(path, VaultStore::DatabasePassword);
    }
    return v;
}

const QByteArray Heading = "\xEF\xBB\xBF<html>\r\r\n<!-- Quillock Account Report -->\r\r\n"
                           "<p><img src=\"picture.gif\" align=\"center\"><font face=\"arial\" size=5><b>\r\r\n"
                           "Quillock Account Report</b></font></p>\r\n";
const QByteArray BlockOpen = "<table cellspacing=2 cellpadding=2 border=0>\r\r\n";
const QByteArray BlockClose = "</table>\r\n<p>\r\n";
const char* const Captions[6] = {"Account Name:", "Username:", "Password:", "URL:", "Hint:", "Other Notes:"};

QByteArray cellOpen(int field)
{
    return QByteArray("<tr><td><font face=\"arial\"><b>") + Captions[field] + "</b></td><td><font face=\"arial\">";
}
const QByteArray CellClose = "</td></tr>";

// Takes `literal` at `at` or fails: the layout is the program's alone.
void expect(const QByteArray& page, qsizetype& at, const QByteArray& literal)
{
    if (page.mid(at, literal.size()) != literal)
        fail("the page leaves the report's layout here", page.mid(at, 200));
    at += literal.size();
}

bool isEntityName(const QByteArray& name)
{
    if (name.isEmpty())
        return false;
    if (name.startsWith('#')) {
        const QByteArray digits = name.mid(1);
        return !digits.isEmpty()
            && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    }
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); });
}

// The cell without the "<br>" before each line break (one for CR LF).
QByteArray withoutBreakTags(const QByteArray& cell)
{
    const QByteArray tag = "<br>";
    QByteArray plain;
    for (qsizetype i = 0; i < cell.size(); ++i) {
        const char c = cell[i];
        const bool secondHalf = c == '\n' && i > 0 && cell[i - 1] == '\r';
        if ((c == '\r' || c == '\n') && !secondHalf) {
            if (!plain.endsWith(tag))
                fail("a line break without <br> before it", cell);
            plain.chop(tag.size());
        }
        plain += c;
    }
    return plain;
}

// The text a browser shows for one field's cell.
QString readCell(const QByteArray& taggedCell)
{
    const QByteArray cell = withoutBreakTags(taggedCell);
    for (char c : {'<', '>', '"', '\''})
        if (cell.contains(c))
            fail("a field carries markup into the page", cell);
    QByteArray shown;
    for (qsizetype i = 0; i < cell.size(); ++i) {
        if (cell[i] != '&') {
            shown += cell[i];
            continue;
        }
        const qsizetype end = cell.indexOf(';', i);
        const QByteArray name = end < 0 ? QByteArray() : cell.mid(i + 1, end - i - 1);
        if (!isEntityName(name))
            fail("a raw '&' in a field", cell);
        if (name == "amp")
            shown += '&';
        else if (name == "lt")
            shown += '<';
        else if (name == "gt")
            shown += '>';
        else if (name == "quot")
            shown += '"';
        else if (name == "#39")
            shown += '\'';
        else
            fail("an entity the writer never makes", cell);
        i = end;
    }
    return QString::fromUtf8(shown);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    Vault& v = vault();
    v.raw.exec("delete from accounts");

    std::vector<Row> stored;
    const int rows = input.ConsumeIntegralInRange<int>(0, 3);
    for (int r = 0; r < rows; ++r) {
        Row row;
        for (QString& field : row) {
            const std::string bytes = input.ConsumeRandomLengthString(300);
            field = QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
        }
        v.store->appendAccount({row[0], Encrypt(row[1]), Encrypt(row[2]), row[3], row[4], row[5]});
        stored.push_back(row);
    }

    const QByteArray page = reportContent(*v.store);
    qsizetype at = 0;
    expect(page, at, Heading);
    std::vector<Row> shown;
    while (at < page.size()) {
        expect(page, at, BlockOpen);
        Row row;
        for (int field = 0; field < 6; ++field) {
            expect(page, at, cellOpen(field));
            const qsizetype end = page.indexOf(CellClose, at);
            if (end < 0)
                fail("a cell that never closes", page.mid(at, 200));
            row[size_t(field)] = readCell(page.mid(at, end - at));
            at = end + CellClose.size();
            // The username and password rows share a line; the others end theirs.
            if (field != 1)
                expect(page, at, "\r\n");
        }
        expect(page, at, BlockClose);
        shown.push_back(row);
    }

    // Every account once, each field as stored.
    std::sort(stored.begin(), stored.end());
    std::sort(shown.begin(), shown.end());
    if (stored != shown)
        fail("the report does not show the stored values", page.left(400));
    return 0;
}
