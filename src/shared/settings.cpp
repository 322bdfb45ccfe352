#include "shared/settings.h"

#include "shared/module1.h"
#include "vault/apperror.h"

#include <QSettings>

namespace Settings {

namespace {

QString qualified(const QString& key)
{
    return QStringLiteral("Properties/") + key;
}

[[noreturn]] void fail(const QSettings& store, const QString& action)
{
    const bool access = store.status() == QSettings::AccessError;
    throw AppError(access ? ErrorCode::PathAccess : ErrorCode::SettingsFailure,
                   QStringLiteral("Cannot %1 the settings file '%2'.").arg(action, store.fileName()),
                   ErrorSource::Settings);
}

}  // namespace

QString getSetting(const QString& key)
{
    QSettings store(Module1::ProgramTitle, Module1::ProgramTitle);
    if (store.status() != QSettings::NoError)
        fail(store, QStringLiteral("read"));
    return store.value(qualified(key), QString()).toString();
}

void saveSetting(const QString& key, const QString& value)
{
    QSettings store(Module1::ProgramTitle, Module1::ProgramTitle);
    store.setValue(qualified(key), value);
    store.sync();
    if (store.status() != QSettings::NoError)
        fail(store, QStringLiteral("write"));
}

}  // namespace Settings
