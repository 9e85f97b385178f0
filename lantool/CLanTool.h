#pragma once

#include "Defaults.h"

#include <QByteArray>
#include <QDateTime>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <cstdio>

class QUdpSocket;

// The operator's view of the LAN: prints every datagram heard on the LAN port, or broadcasts
// one message, with the framing of the LAN messaging library.
class CLanTool : public QObject {
    Q_OBJECT

public:
    static constexpr quint16 kDefaultPort = kDefaultLanPort;
    static constexpr const char* kDefaultAddress = kDefaultBroadcastAddress;

    explicit CLanTool(std::FILE* out, QObject* parent = nullptr);

    // Binds the LAN port with address sharing, so it listens beside the programs that use it.
    bool Listen(quint16 port, QString* error);
    quint16 ListenPort() const;
    static bool Send(const QHostAddress& address, quint16 port, const QByteArray& text,
                     QString* error);

    // One output line for a datagram: time, sender, then the text with high and control bytes
    // shown as \xHH, or what is wrong with the datagram.
    static QString Describe(const QByteArray& datagram, const QString& sender,
                            const QDateTime& when);

private:
    void OnReadyRead();

    std::FILE* m_out;
    QUdpSocket* m_socket = nullptr;
};
