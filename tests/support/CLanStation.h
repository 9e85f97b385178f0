#pragma once

#include "Defaults.h"
#include "Orvane.h"

#include <QByteArray>
#include <QList>
#include <QObject>

// A LAN endpoint for tests: the messaging library on a private port, collecting the texts it
// receives (its own broadcasts included).
class CLanStation : public QObject {
    Q_OBJECT

public:
    explicit CLanStation(QObject* parent = nullptr);

    bool Open(int port, const char* broadcastAddress = kDefaultBroadcastAddress);
    void Close() { m_lan.Close(); }
    void Send(const QByteArray& text) { m_lan.Send(text.constData()); }
    COrvaneLan& Lan() { return m_lan; }

    const QList<QByteArray>& Received() const { return m_received; }
    void ClearReceived() { m_received.clear(); }

signals:
    void messageReceived(const QByteArray& text);

private:
    COrvaneLan m_lan;
    QList<QByteArray> m_received;
};
