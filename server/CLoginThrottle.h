#pragma once

#include <QByteArray>
#include <QHash>

// Slows password guessing. Each failed log-in from an address doubles the pause between that
// address's attempts (2 s up to 5 min); failures on one login from any address add a smaller
// pause on that login, for addresses that have failed. An address without failures is never
// slowed. Everything is forgotten after a quiet period.
class CLoginThrottle {
public:
    struct Settings {
        qint64 firstDelayMs = 2000;
        qint64 maxDelayMs = 300000;
        qint64 loginFirstDelayMs = 1000;
        qint64 loginMaxDelayMs = 60000;
        qint64 forgetAfterMs = 900000;
    };

    explicit CLoginThrottle(Settings settings) : m_settings(settings) {}

    // When this attempt's password may be asked for (now, or later); takes that turn, so
    // parallel attempts from one address line up one pause apart.
    qint64 Reserve(const QByteArray& address, const QByteArray& login, qint64 now);
    void Failed(const QByteArray& address, const QByteArray& login, qint64 now);
    void Prune(qint64 now);

    int FailuresFrom(const QByteArray& address) const;
    qsizetype Size() const { return m_addresses.size() + m_logins.size(); }

private:
    struct Entry {
        int failures = 0;
        qint64 nextTurn = 0;
        qint64 lastFailure = 0;
    };
    void Record(QHash<QByteArray, Entry>& table, const QByteArray& key, qint64 delay0,
                qint64 delayMax, qint64 now);

    Settings m_settings;
    QHash<QByteArray, Entry> m_addresses;
    QHash<QByteArray, Entry> m_logins;
};
