// Change notifications of libzorvlabelmgr: the messaging socket and the calls
// through which a client receives the label changes the service publishes.
#ifndef ZORV_NOTIFY_HPP
#define ZORV_NOTIFY_HPP

#include <zorv/export.h>

#include <string>

// A libzmq socket with a context of its own. Every failure of libzmq is
// turned into std::runtime_error with a fixed message; nothing here logs.
// One object owns its two handles: it can be moved but never copied, so each
// handle is released exactly once. A socket is for one thread at a time.
class ZORV_API ZMQSocket {
public:
    // libzmq's socket-type numbers, handed to libzmq unchanged.
    enum socketType {
        PAIR = 0, PUB = 1, SUB = 2, REQ = 3, REP = 4, DEALER = 5,
        ROUTER = 6, PULL = 7, PUSH = 8, XPUB = 9, XSUB = 10, STREAM = 11,
    };

    explicit ZMQSocket(socketType type);
    // Messages not yet taken by a peer get at most kCloseLingerMs to leave: a
    // peer that stopped reading never holds up the destructor.
    ~ZMQSocket();
    static constexpr int kCloseLingerMs = 1000;
    ZMQSocket(const ZMQSocket&) = delete;
    ZMQSocket& operator=(const ZMQSocket&) = delete;
    // A moved-from socket holds nothing; only destruction and assignment are
    // meaningful on it.
    ZMQSocket(ZMQSocket&& other) noexcept;
    ZMQSocket& operator=(ZMQSocket&& other) noexcept;

    void bind(const std::string& address);
    void connect(const std::string& address);
    // Sends the bytes of `message` as one frame; `more` says another frame of
    // the same message follows.
    void send(const std::string& message, bool more);
    // Blocks until one frame arrives and returns its bytes.
    std::string recv();
    // Adds a prefix filter; the empty topic lets every message through.
    void subscribe(const std::string& topic);

private:
    void release() noexcept;
    friend struct ZMQSocketAccess;  // the library's own frame-level reader

    void* context;
    void* socket;
};

// Label-change notifications published by the label manager service.
// A subscriber handle is a ZMQSocket of type SUB, owned by the caller. It
// accepts frames of at most kMaxNotificationFrame bytes (1 MiB): a larger
// one is never received; libzmq drops the connection that brings it, with
// the messages still on the way, and recvLabelChangeMsg connects again.
// Throws std::runtime_error when libzmq cannot create the context or socket
// or set the subscriber up.
constexpr long long kMaxNotificationFrame = 1024 * 1024;
ZORV_API void* createSubscriber();
// Releases a handle from createSubscriber; null is ignored.
ZORV_API void destroySubscriber(void* handle);
// Connects the handle to the service's endpoint (ZORV_NOTIFY_ENDPOINT, else
// ipc:///tmp/zorv_label_manager.socket) and adds `topic` to its filter. Only
// a socket file of root's or the caller's that no other user can have put in
// place is connected to; until there is one, recvLabelChangeMsg waits for
// it. 0 on success, -1 on failure (logged).
ZORV_API int subscribeLabelChangeMsg(void* handle, const std::string& topic);
// Blocks until a notification arrives and stores a malloc'ed, NUL-terminated
// copy of its payload in *msg (free it with free). The payload may itself
// hold NUL bytes. 0 on success, -1 on failure (logged, *msg untouched unless
// the copy could not be allocated, then it is null).
ZORV_API int recvLabelChangeMsg(void* handle, char** msg);
// As recvLabelChangeMsg, but waits at most timeoutMs milliseconds (a negative
// value: without limit) for a notification: 0 received (in *msg), 1 none
// arrived in time (*msg untouched), -1 on failure (logged).
ZORV_API int recvLabelChangeMsgWithin(void* handle, char** msg, int timeoutMs);

#endif  // ZORV_NOTIFY_HPP
