#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A scripted server on 127.0.0.1 for wire-exact protocol tests.
//
// It listens on an ephemeral port, accepts one connection and runs its script on its own
// thread with blocking sockets: wait for a line from the client, send bytes, close, reset,
// pause. Every byte the client sent is recorded. A step that does not match is recorded in
// Failures() and ends the script (the connection is closed), so a test never hangs on it.
class ScriptedPeer {
public:
    struct Step {
        enum Kind {
            kExpectLine,
            kSend,
            kSendSplit,
            kClose,
            kReset,
            kPause,
            kExpectClosed,
            kReadBytes,
            kAccept,
            kReadUntilLine,
            kStartTls
        };
        Kind kind;
        std::string text; // line (without CR LF) to expect, or bytes to send
        int number = 0;   // pause ms, chunk size for kSendSplit, byte count for kReadBytes
    };

    // The client must send exactly this line, terminated by CR LF.
    static Step ExpectLine(std::string line) { return {Step::kExpectLine, std::move(line)}; }
    // Sends the bytes as they are (add "\r\n" yourself).
    static Step Send(std::string bytes) { return {Step::kSend, std::move(bytes)}; }
    // Sends the bytes in chunks of chunkSize, each in its own segment, to fragment reads.
    static Step SendSplit(std::string bytes, int chunkSize = 1) {
        return {Step::kSendSplit, std::move(bytes), chunkSize};
    }
    // Orderly close (FIN) of the connection.
    static Step Close() { return {Step::kClose, {}}; }
    // Inside TLS: the same close without the TLS close alert first, as a careless server does.
    static Step CloseWithoutTlsAlert() { return {Step::kClose, {}, 1}; }
    // Abortive close (RST): linger on with time 0, then close.
    static Step Reset() { return {Step::kReset, {}}; }
    static Step Pause(int ms) { return {Step::kPause, {}, ms}; }
    // Reads until the client closes the connection.
    static Step ExpectClosed() { return {Step::kExpectClosed, {}}; }
    // Reads exactly count bytes, whatever they are.
    static Step ReadBytes(int count) { return {Step::kReadBytes, {}, count}; }
    // Reads lines, whatever they are, up to and including one that is exactly line.
    static Step ReadUntilLine(std::string line) { return {Step::kReadUntilLine, std::move(line)}; }
    // Takes the server side of a TLS handshake with the certificate and key in the files
    // prefix + ".crt" and prefix + ".key"; the steps after it run inside TLS. A handshake that
    // fails is recorded as a failure.
    static Step StartTls(std::string prefix) { return {Step::kStartTls, std::move(prefix)}; }
    // The same, but the server demands a client certificate and, with none offered, refuses
    // the handshake after sending its own; TLS 1.2, so the refusal ends the client's handshake.
    static Step StartTlsDemandingClientCert(std::string prefix) {
        return {Step::kStartTls, std::move(prefix), 1};
    }
    // Closes the current connection (if any) and accepts the next one.
    static Step Accept() { return {Step::kAccept, {}}; }

    explicit ScriptedPeer(std::vector<Step> script, int ioTimeoutMs = 10000);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    std::uint16_t Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }

    bool Finished() const;                     // the script ran to its end or failed
    bool WaitFinished(int timeoutMs = 10000);  // blocks (no event loop); true if finished
    std::string Received() const;              // every byte received so far, all connections
    std::vector<std::string> Failures() const; // mismatches and I/O errors, empty when all matched
    int Connections() const;                   // connections accepted so far

private:
    void Run();
    bool RunStep(const Step& step, int& client);
    bool ReadLine(int client, std::string& line);
    void Fail(std::string what);
    // Reads and writes of the connection, through TLS once it has started.
    long Read(int client, char* buffer, size_t size);
    bool Write(int client, const char* data, size_t size);
    void EndTls();

    std::vector<Step> script_;
    int ioTimeoutMs_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::string received_;
    std::string pending_; // received but not yet consumed by a step
    std::vector<std::string> failures_;
    int connections_ = 0;
    void* tls_ = nullptr; // the server's TLS session, from kStartTls on
    bool finished_ = false;
};
