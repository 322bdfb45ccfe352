#include "vault/securebytes.h"

#include "vault/apperror.h"
#include "vault/stringcipher.h"

#include <algorithm>
#include <sodium.h>

SecureBytes::SecureBytes(std::size_t size) : size_(size)
{
    requireSodium();
    // sodium_malloc(0) is no allocation; an empty value still needs a home.
    data_ = static_cast<unsigned char*>(sodium_malloc(std::max<std::size_t>(size, 1)));
    if (!data_)
        throw AppError(ErrorCode::CipherFailure, QStringLiteral("Out of memory for a key."), ErrorSource::Cipher);
}

SecureBytes::~SecureBytes()
{
    sodium_free(data_);
}
