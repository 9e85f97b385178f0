#include "CLanStation.h"

CLanStation::CLanStation(QObject* parent) : QObject(parent) {
    connect(&m_lan, &COrvaneLan::messageReceived, this, [this](const QByteArray& text) {
        m_received.append(text);
        emit messageReceived(text);
    });
}

bool CLanStation::Open(int port, const char* broadcastAddress) {
    return m_lan.Init(broadcastAddress, port);
}
