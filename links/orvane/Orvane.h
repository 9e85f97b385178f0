#pragma once

#include <QByteArray>
#include <QObject>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

inline constexpr int ORVANE_MAX_FIELDS = 34;

class COrvaneReader;
struct OrvaneDropCounts;

// One LAN endpoint: a UDP socket on the LAN port, with address sharing and broadcast, read
// on a thread of its own. Every valid datagram is announced once by messageReceived, in
// order, on the endpoint's own thread, in batches that leave its event loop free between them.
class COrvaneLan : public QObject {
    Q_OBJECT

public:
    explicit COrvaneLan(QObject* parent = nullptr);
    ~COrvaneLan() override;

    // Returns whether the port could be bound; on failure the LAN side stays closed.
    bool Init(const char* broadcastAddress, int port);
    // False when the datagram did not leave: no LAN side, a broadcast address that is no IPv4
    // address, or a socket that refused it.
    bool Send(const char* text);
    void Close();
    bool IsOpen() const;
    // Whether the broadcast address given to Init is an IPv4 address.
    bool SendAddressValid() const { return m_sendAddressValid; }
    // Datagrams dropped because too much was already waiting for the receiver.
    std::uint64_t DroppedCount() const;
    // Datagrams dropped on arrival: texts longer than kMaxTextBytes, and broken datagrams.
    std::uint64_t TooLongCount() const;
    std::uint64_t BadDatagramCount() const;
    // Bytes of the messages not handled yet, the one in hand included.
    std::int64_t PendingBytes() const;
    // What one waiting message counts against the bound.
    static std::int64_t AccountedSize(std::int64_t textSize);

    static constexpr std::int64_t kMaxPendingBytes = 64ll * 1024 * 1024;
    // No message of the logging network is longer; a longer one could never be used.
    static constexpr qsizetype kMaxTextBytes = 255;
    // Messages announced before the event loop gets a turn again.
    static constexpr std::size_t kBatch = 64;

signals:
    // One received message text, without its checksum byte.
    void messageReceived(const QByteArray& text);

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

    void OpenSender();
};

// Datagram framing on the LAN: text, checksum byte (8-bit sum OR 0x80), NUL.
QByteArray OrvaneBuildDatagram(const char* text);
// Checks one received datagram; on success text holds the message without checksum byte.
bool OrvaneCheckDatagram(const char* data, std::size_t size, QByteArray& text);

// Splits text in place; fills at most ORVANE_MAX_FIELDS pointers into it; returns the count.
int ORVANE_parse(char* fields[ORVANE_MAX_FIELDS], char* text);

// The library's four operations on one process-wide endpoint; its messageReceived announces
// what arrives.
COrvaneLan& ORVANE_init(const char* broadcastAddress, int port);
void ORVANE_send(const char* text);
void ORVANE_close();
