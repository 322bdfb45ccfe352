#include "vault/vaultkey.h"

#include "vault/apperror.h"
#include "vault/securebytes.h"
#include "vault/vaultstore.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// SQLCipher 3's key derivation: PBKDF2-HMAC-SHA1 over the salt that opens the file.
constexpr int SaltBytes = 16;
constexpr int KeyBytes = 32;
constexpr int Rounds = 64000;

// The file's first bytes, read without blocking on anything but a plain
// file (a FIFO put in the vault's place would wait for a writer).
bool readSalt(const QString& path, unsigned char (&salt)[SaltBytes])
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info { };
    ssize_t got = -1;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        do
            got = ::pread(fd, salt, SaltBytes, 0);
        while (got < 0 && errno == EINTR);
    }
    ::close(fd);
    return got == SaltBytes;
}

}  // namespace

VaultKey VaultKey::derive(const QString& path)
{
    unsigned char salt[SaltBytes];
    if (!readSalt(path, salt))
        return {};
    try {
        SecureBytes key(KeyBytes);
        const QByteArray& password = VaultStore::DatabasePassword;
        if (PKCS5_PBKDF2_HMAC_SHA1(password.constData(), int(password.size()), salt, SaltBytes, Rounds, KeyBytes,
                                   key.data())
            != 1)
            return {};
        // x'<key><salt>': with the salt given, the engine reads none of its own.
        auto spec = std::make_shared<SecureBytes>(2 + 2 * (KeyBytes + SaltBytes) + 1);
        char* text = reinterpret_cast<char*>(spec->data());
        text[0] = 'x';
        text[1] = '\'';
        sodium_bin2hex(text + 2, 2 * KeyBytes + 1, key.data(), KeyBytes);
        sodium_bin2hex(text + 2 + 2 * KeyBytes, 2 * SaltBytes + 1, salt, SaltBytes);
        // The hex writer's terminator falls where the closing quote goes.
        text[2 + 2 * (KeyBytes + SaltBytes)] = '\'';
        VaultKey result;
        result.spec_ = std::move(spec);
        return result;
    } catch (const AppError&) {
        return {};
    }
}

QByteArrayView VaultKey::spec() const
{
    if (!spec_)
        return {};
    return QByteArrayView(reinterpret_cast<const char*>(spec_->data()), qsizetype(spec_->size()));
}
