#pragma once

#include "CConnectionLimits.h"
#include "ServerSnapshot.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

class QSocketNotifier;
class QTcpServer;
struct sockaddr_storage;

// Listens and takes connections, on the plain port, the TLS port or both: accepts by itself
// (Qt's listener neither reports running out of descriptors nor stops trying, and spins), keeps
// a spare descriptor to close what waits when none is left, pauses instead of failing at once
// for ever, and admits by address (CConnectionLimits, one count for both ports), asking its
// owner to make room when the log-in cap is reached.
class CServerAcceptor : public QObject {
    Q_OBJECT

public:
    struct Settings {
        QHostAddress address;
        bool plain = true;
        quint16 port = 0;
        bool tls = false;
        quint16 tlsPort = 0;
        int backlog = 1024;
        int retryMs = 1000; // after running out of descriptors
        CConnectionLimits::Settings limits;
    };
    // Milliseconds on the owner's clock.
    using NowMs = std::function<qint64()>;
    // Closes that connection awaiting log-in for a newcomer; false when it is gone.
    using MakeRoom = std::function<bool(const CConnectionLimits::Victim& victim)>;

    CServerAcceptor(Settings settings, NowMs now, MakeRoom makeRoom, QObject* parent = nullptr);
    ~CServerAcceptor() override;

    bool Listen(QString* error);
    // The ports listened on; 0 for one that is not.
    quint16 Port() const;
    quint16 TlsPort() const;
    void Close();
    // Accepts again once the pause after running out of descriptors is over.
    void Tick(qint64 nowMs);
    bool IsPaused() const { return m_paused; }
    // Who awaits log-in from where: the owner reports log-ins and closes.
    CConnectionLimits& Limits() { return m_limits; }
    const CConnectionLimits& Limits() const { return m_limits; }

signals:
    // An admitted connection, counted as awaiting log-in; the receiver owns the descriptor.
    void accepted(int fd, quint64 id, const QByteArray& address, bool tls);
    // A connection closed unserved; the address is empty when it was not read.
    void refused(const QByteArray& address, RefusalReason reason);
    // An event that may come in floods, for the owner's summaries.
    void repeatedEvent(const QString& what, const QString& from, const QString& text);

private:
    struct Listener {
        QTcpServer* server = nullptr;
        QSocketNotifier* notifier = nullptr;
        bool tls = false;
    };

    qint64 Now() const { return m_now(); }
    bool Open(quint16 port, bool tls, QString* error);
    quint16 ListenerPort(bool tls) const;
    void OnReady(const Listener& listener);
    void Admit(int fd, const sockaddr_storage& from, bool tls);
    void OutOfDescriptors(int listenFd);
    void SetAccepting(bool on);

    Settings m_settings;
    NowMs m_now;
    MakeRoom m_makeRoom;
    CConnectionLimits m_limits;
    std::vector<Listener> m_listeners;
    int m_spareFd = -1;
    bool m_paused = false;
    bool m_outOfDescriptors = false;
    qint64 m_resumeAt = 0;
    std::uint64_t m_closedUnserved = 0;
    std::uint64_t m_nextId = 1;
};
