#pragma once

#include <QByteArray>
#include <QEvent>
#include <QObject>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

inline constexpr int ORVANE_MAX_FIELDS = 34;

// The notification: one received message text (without checksum byte), sent to the window.
class COrvaneMessageEvent : public QEvent {
public:
    COrvaneMessageEvent(QEvent::Type type, QByteArray text)
        : QEvent(type), m_text(std::move(text)) {}
    const QByteArray& Text() const { return m_text; }

private:
    QByteArray m_text;
};

class COrvaneReader;
struct OrvaneDropCounts;

// One LAN endpoint: a UDP socket on the LAN port, with address sharing and broadcast, read
// on a thread of its own. Every valid datagram reaches the window as one event, in order,
// in batches that leave the window's event loop free between them.
class COrvaneLan {
public:
    COrvaneLan();
    ~COrvaneLan();
    COrvaneLan(const COrvaneLan&) = delete;
    COrvaneLan& operator=(const COrvaneLan&) = delete;

    // Returns whether the port could be bound; on failure the LAN side stays closed.
    bool Init(QObject* window, int message, const char* broadcastAddress, int port);
    void Send(const char* text);
    void Close();
    bool IsOpen() const;
    // Datagrams dropped because too much was already waiting for the window.
    std::uint64_t DroppedCount() const;
    // Datagrams dropped on arrival: texts longer than kMaxTextBytes, and broken datagrams.
    std::uint64_t TooLongCount() const;
    std::uint64_t BadDatagramCount() const;
    // Bytes of the messages that the window has not handled yet, the one in hand included.
    std::int64_t PendingBytes() const;
    // What one waiting message counts against the bound.
    static std::int64_t AccountedSize(std::int64_t textSize);

    static constexpr std::int64_t kMaxPendingBytes = 64ll * 1024 * 1024;
    // No message of the logging network is longer; a longer one could never be used.
    static constexpr qsizetype kMaxTextBytes = 255;
    // Messages handed to the window before its event loop gets a turn again.
    static constexpr std::size_t kBatch = 64;

private:
    struct Delivery;
    std::unique_ptr<COrvaneReader> m_reader;
    std::shared_ptr<Delivery> m_delivery;
    std::shared_ptr<OrvaneDropCounts> m_drops;
    std::string m_broadcastAddress;
    int m_port = 0;
    bool m_sendAddressValid = false;
    struct Sender;
    std::unique_ptr<Sender> m_sender;
    QMetaObject::Connection m_windowGone;

    void OpenSender();
};

// Datagram framing on the LAN: text, checksum byte (8-bit sum OR 0x80), NUL.
QByteArray OrvaneBuildDatagram(const char* text);
// Checks one received datagram; on success text holds the message without checksum byte.
bool OrvaneCheckDatagram(const char* data, std::size_t size, QByteArray& text);

// Splits text in place; fills at most ORVANE_MAX_FIELDS pointers into it; returns the count.
int ORVANE_parse(char* fields[ORVANE_MAX_FIELDS], char* text);

// The library's four operations on one process-wide endpoint.
void ORVANE_init(QObject* window, int message, const char* broadcastAddress, int port);
void ORVANE_send(const char* text);
void ORVANE_close();
