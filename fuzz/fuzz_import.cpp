// The import on arbitrary text, as any of its layouts or as its header
// says: it must read the text or raise its input error, and every row it
// would store must obey the add dialog (a name not all blanks, every field
// within its limit, no line break in a one-line field, a web address).
#include "transfer/accountimport.h"
#include "transfer/transfer.h"
#include "vault/accountlimits.h"
#include "vault/apperror.h"

#include <QByteArray>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>

namespace {

[[noreturn]] void fail(const char* what, qsizetype line)
{
    std::fprintf(stderr, "%s (line %lld)\n", what, static_cast<long long>(line));
    std::abort();
}

bool oneLine(const QString& text)
{
    return !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r'));
}

void checkRow(const Transfer::ImportRow& row)
{
    const AccountFields& p = row.plain;
    if (AccountLimits::isBlankName(p.account))
        fail("a blank name", row.line);
    if (p.account.size() > AccountLimits::Name || p.username.size() > AccountLimits::Username
        || p.password.size() > AccountLimits::Password || p.url.size() > AccountLimits::Url
        || p.hint.size() > AccountLimits::Text || p.notes.size() > AccountLimits::Text)
        fail("a field over its limit", row.line);
    if (!oneLine(p.account) || !oneLine(p.username) || !oneLine(p.password) || !oneLine(p.url))
        fail("a line break in a one-line field", row.line);
    if (!AccountLimits::hasUrlScheme(p.url))
        fail("a URL without http:// or https://", row.line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const QStringList options = Transfer::formatOptions();
    const int choice = input.ConsumeIntegralInRange<int>(-1, int(options.size()) - 1);
    const std::string text = input.ConsumeRemainingBytesAsString();
    const auto format = choice < 0 ? std::nullopt : Transfer::formatNamed(options[choice]);
    try {
        Transfer::AccountImport import(QByteArray(text.data(), qsizetype(text.size())), {}, format);
        qsizetype rows = 0;
        import.forEachStored([&](const Transfer::ImportRow& row) {
            checkRow(row);
        ++rows;
    });
        import.forEachSkipped([&](const Transfer::ImportSkip& skip) {
            if (skip.reason.isEmpty())
                fail("a row skipped without a reason", skip.line);
        ++rows;
});
import.forEachRemark([](const Transfer::ImportSkip&){});
if (rows != import.rowsRead())
    fail("rows neither stored nor skipped", rows);
(void)import.columnsText();
}
catch (const AppError& error)
{
    if (error.code() != Transfer::InputFormatError)
        fail("an error other than the input error", 0);
}
return 0;
}
