#pragma once

#include <QByteArrayView>
#include <QString>
#include <memory>

class SecureBytes;

// The vault's key as SQLCipher 3's format derives it from the database
// password and the salt in the file's first bytes, derived here once and
// handed to the engine raw (x'<key><salt>'): a start-up's compaction and
// open then derive nothing of their own. An empty key leaves the engine to
// derive from the password, as the tools always do.
class VaultKey {
public:
    VaultKey() = default;
    // The key of the file at `path` as it is now; empty when the file cannot
    // be read or is too short to hold a salt, and never an error: the
    // password's own way then meets whatever is wrong with the file.
    static VaultKey derive(const QString& path);
    bool isEmpty() const { return !spec_; }
    // What sqlite3_key takes; empty for an empty key.
    QByteArrayView spec() const;

private:
    std::shared_ptr<const SecureBytes> spec_;
};
