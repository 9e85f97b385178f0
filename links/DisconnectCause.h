#pragma once

// Why the tunnel connection ended.
enum class DisconnectCause {
    None,               // not disconnected yet
    ClosedByServer,     // the server closed a connection that was up
    Refused,            // nobody listens at the server's port
    HostNotFound,       // the host name could not be resolved
    NoServer,           // no host name or no valid port configured
    WanTimeout,         // nothing came through the tunnel for 60 s
    NetworkError,       // any other socket error; the detail says which
    LocalRequest,       // reconnected after the options were accepted
    TlsFailed,          // the TLS handshake failed (no TLS on the server's port, say)
    CertificateRefused, // the server's certificate was not the one trusted or pinned
    ConnectTimeout,     // no TCP connection within the attempt's bound
    ClosedBeforePrompt  // the server closed before its login prompt
};
