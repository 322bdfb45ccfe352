// StringCipher's Decrypt on arbitrary text: it either raises the cipher's
// error or gives back exactly the text that was enciphered. Never a crash,
// never some other text.
#include "vault/apperror.h"
#include "vault/stringcipher.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>

namespace {

[[noreturn]] void fail(const char* what, const QString& detail)
{
    std::fprintf(stderr, "%s: %s\n", what, detail.toUtf8().constData());
    std::abort();
}

// Whatever Decrypt returns must be text that the cipher carries unchanged.
void checkDecrypt(const QString& cipherText, const QString* expected)
{
    QString plain;
    try {
        plain = Decrypt(cipherText);
    } catch (const AppError& error) {
        if (error.code() != ErrorCode::CipherFailure || error.source() != ErrorSource::Cipher)
            fail("Decrypt raised a foreign error", error.description());
        return;
    }
    if (expected && plain != *expected)
        fail("Decrypt gave other text than was enciphered", cipherText);
    if (QString::fromUtf8(plain.toUtf8()) != plain)
        fail("Decrypt gave text that is not well-formed", cipherText);
    if (Decrypt(Encrypt(plain)) != plain)
        fail("deciphered text does not round-trip", cipherText);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: {
        // Arbitrary text as typed or stored by another program.
        const std::string bytes = input.ConsumeRemainingBytesAsString();
        checkDecrypt(QString::fromUtf8(bytes.data(), qsizetype(bytes.size())), nullptr);
        break;
    }
    case 1: {
        // Arbitrary bytes, each one character: reaches the base64 decoder.
        const std::string bytes = input.ConsumeRemainingBytesAsString();
        checkDecrypt(QString::fromLatin1(bytes.data(), qsizetype(bytes.size())), nullptr);
        break;
    }
    default: {
        // Real cipher text of arbitrary text, then damaged in places.
        const std::string typed = input.ConsumeRandomLengthString(256);
        const QString plain = QString::fromUtf8(typed.data(), qsizetype(typed.size()));
        QString cipherText = Encrypt(plain);
        if (Decrypt(cipherText) != plain)
            fail("a fresh cipher text does not decipher to its text", plain);
        const int changes = input.ConsumeIntegralInRange<int>(0, 4);
        for (int i = 0; i < changes && !cipherText.isEmpty(); ++i) {
            const auto at = input.ConsumeIntegralInRange<qsizetype>(0, cipherText.size() - 1);
            switch (input.ConsumeIntegralInRange<int>(0, 2)) {
            case 0:
                cipherText[at] = QChar(input.ConsumeIntegral<char16_t>());
                break;
            case 1:
                cipherText.remove(at, input.ConsumeIntegralInRange<qsizetype>(1, 8));
                break;
            default:
                cipherText.insert(at, QChar(input.ConsumeIntegral<uint8_t>()));
                break;
            }
        }
        checkDecrypt(cipherText, &plain);
        break;
    }
    }
    return 0;
}
