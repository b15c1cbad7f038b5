#include "farmuserstate.h"

FarmUserState::FarmUserState(const QString& user, const QString& storageDir, QObject* parent)
    : QObject(parent)
    , m_user(user)
    , m_storageDir(storageDir)
{
}
