#include "CLanStation.h"

#include "KavlinkEvents.h"

CLanStation::CLanStation(QObject* parent) : QObject(parent) {}

bool CLanStation::Open(int port, const char* broadcastAddress) {
    return m_lan.Init(this, WM_LAN_MESSAGE, broadcastAddress, port);
}

bool CLanStation::event(QEvent* e) {
    if (e->type() != KavlinkEventType(WM_LAN_MESSAGE))
        return QObject::event(e);
    const QByteArray text = static_cast<COrvaneMessageEvent*>(e)->Text();
    m_received.append(text);
    emit messageReceived(text);
    return true;
}
