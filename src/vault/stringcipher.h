#pragma once

#include <QString>
#include <array>

// Enciphers single field values. Cipher text is base64 of a fresh random
// nonce followed by an XSalsa20-Poly1305 box, so tampering is detected and
// the same text never enciphers the same way twice.
class StringCipher {
public:
    // Every caller passes this key; there is no other.
    static inline const QString FixedKey = QStringLiteral("582930416");

    // Created on first use and kept to the end of the program.
    static StringCipher& instance();

    QString Encrypt(const QString& text, const QString& key) const;
    // Raises AppError for cipher text that is malformed, tampered with or
    // written under another key.
    QString Decrypt(const QString& text, const QString& key) const;

private:
    StringCipher();
    using Key = std::array<unsigned char, 32>;  // crypto_secretbox_KEYBYTES
    static Key deriveKey(const QString& key);
};

// libsodium ready for use, once for the whole program; raises the cipher's
// error when it cannot start.
void requireSodium();

// Shorthands for the fixed key that every call site uses.
inline QString Encrypt(const QString& text)
{
    return StringCipher::instance().Encrypt(text, StringCipher::FixedKey);
}
inline QString Decrypt(const QString& text)
{
    return StringCipher::instance().Decrypt(text, StringCipher::FixedKey);
}

// An enciphered account field that holds nothing (left empty or Null by
// another program; ours always stores cipher text) deciphers to nothing.
inline QString decryptField(const QString& stored)
{
    return stored.isEmpty() ? QString() : Decrypt(stored);
}
