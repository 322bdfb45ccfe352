#pragma once

#include <cstddef>

// Bytes of their own from sodium_malloc: fenced by guard pages, kept out of
// swap where the system allows it, and zeroed when freed. Keys live here;
// the wipes of ordinary strings are in vault/wipe.h, the process's
// hardening in vault/hardening.h.
class SecureBytes {
public:
    explicit SecureBytes(std::size_t size);
    ~SecureBytes();
    SecureBytes(const SecureBytes&) = delete;
    SecureBytes& operator=(const SecureBytes&) = delete;

    unsigned char* data() { return data_; }
    const unsigned char* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    unsigned char* data_;
    std::size_t size_;
};
