#include "transfers/farmfileledger.h"

QString FarmFileLedger::key(int server, const QString& path)
{
    return QString::number(server) + QLatin1Char(':') + path;
}

bool FarmFileLedger::noteListed(int server, const QString& path, qint64 size, Moment askedAt)
{
    Fact& fact = m_facts[key(server, path)];
    if (fact.size >= 0 && fact.sizeAt > askedAt)
        return false; // a newer fact stands
    fact.size = size;
    fact.sizeAt = askedAt;
    return true;
}

void FarmFileLedger::noteWhole(int server, const QString& path, qint64 size)
{
    Fact& fact = m_facts[key(server, path)];
    fact.size = size;
    fact.sizeAt = tick();
}

void FarmFileLedger::noteDisturbed(int server, const QString& path)
{
    m_facts[key(server, path)].disturbedAt = tick();
}

qint64 FarmFileLedger::sizeToGoBy(int server, const QString& path, qint64 listedSize, Moment askedAt) const
{
    const auto it = m_facts.constFind(key(server, path));
    if (it == m_facts.constEnd())
        return listedSize;
    const Fact& fact = it.value();
    if (fact.size >= 0 && fact.sizeAt > askedAt && fact.sizeAt >= fact.disturbedAt)
        return fact.size;
    return listedSize;
}

bool FarmFileLedger::stillWhole(int server, const QString& path, qint64 size, Moment knownAt) const
{
    const auto it = m_facts.constFind(key(server, path));
    if (it == m_facts.constEnd())
        return true;
    const Fact& fact = it.value();
    if (fact.disturbedAt <= knownAt)
        return true;
    return fact.size == size && fact.sizeAt >= fact.disturbedAt;
}

qint64 FarmFileLedger::knownSize(int server, const QString& path, Moment* at) const
{
    const auto it = m_facts.constFind(key(server, path));
    if (it == m_facts.constEnd() || it->size < 0)
        return -1;
    if (at)
        *at = it->sizeAt;
    return it->size;
}
