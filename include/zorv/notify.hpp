/// @file
/// Change notifications of libzorvlabelmgr: the messaging socket and the calls
/// through which a client receives the label changes the service publishes
/// (on ipc:///tmp/zorv_label_manager.socket, one message per committed
/// change: a topic such as "tid" or "package" and a JSON payload).
#ifndef ZORV_NOTIFY_HPP
#define ZORV_NOTIFY_HPP

#include <zorv/export.h>

#include <string>

/// A libzmq socket with a context of its own. Every failure of libzmq is
/// turned into std::runtime_error with a fixed message; nothing here logs.
/// One object owns its two handles: it can be moved but never copied, so each
/// handle is released exactly once. Per object: a socket is for one thread at
/// a time.
class ZORV_API ZMQSocket {
public:
    /// libzmq's socket-type numbers, handed to libzmq unchanged.
    enum socketType {
        PAIR = 0, PUB = 1, SUB = 2, REQ = 3, REP = 4, DEALER = 5,
        ROUTER = 6, PULL = 7, PUSH = 8, XPUB = 9, XSUB = 10, STREAM = 11,
    };

    /// A socket of `type` in a context of its own; throws
    /// std::runtime_error when libzmq cannot make them.
    explicit ZMQSocket(socketType type);
    /// Messages not yet taken by a peer get at most kCloseLingerMs to leave: a
    /// peer that stopped reading never holds up the destructor.
    ~ZMQSocket();
    /// How long (ms) the destructor lets unsent messages leave.
    static constexpr int kCloseLingerMs = 1000;
    ZMQSocket(const ZMQSocket&) = delete;
    ZMQSocket& operator=(const ZMQSocket&) = delete;
    /// Takes over `other`'s handles. A moved-from socket holds nothing; only
    /// destruction and assignment are meaningful on it.
    ZMQSocket(ZMQSocket&& other) noexcept;
    /// Releases this socket's handles and takes over `other`'s.
    ZMQSocket& operator=(ZMQSocket&& other) noexcept;

    /// Binds to a libzmq endpoint such as "ipc:///path"; throws
    /// std::runtime_error when it cannot.
    void bind(const std::string& address);
    /// Connects to a libzmq endpoint; throws std::runtime_error when it
    /// cannot.
    void connect(const std::string& address);
    /// Sends the bytes of `message` as one frame; `more` says another frame of
    /// the same message follows. Throws std::runtime_error on failure.
    void send(const std::string& message, bool more);
    /// Blocks until one frame arrives and returns its bytes. Throws
    /// std::runtime_error on failure.
    std::string recv();
    /// Adds a prefix filter; the empty topic lets every message through.
    /// Throws std::runtime_error on failure.
    void subscribe(const std::string& topic);

private:
    void release() noexcept;
    friend struct ZMQSocketAccess;  // the library's own frame-level reader

    void* context;
    void* socket;
};

/// The largest notification frame a subscriber accepts (1 MiB): a larger one
/// is never received; libzmq drops the connection that brings it, with the
/// messages still on the way, and recvLabelChangeMsg connects again.
constexpr long long kMaxNotificationFrame = 1024 * 1024;
/// A subscriber handle for the label-change notifications: a ZMQSocket of
/// type SUB, owned by the caller (release it with destroySubscriber()).
/// Throws std::runtime_error when libzmq cannot create the context or socket
/// or set the subscriber up. Thread-safe; each handle is for one thread at a
/// time.
ZORV_API void* createSubscriber();
/// Releases a handle from createSubscriber(); null is ignored. Not while
/// another thread uses the handle.
ZORV_API void destroySubscriber(void* handle);
/// Connects the handle to the service's endpoint (ZORV_NOTIFY_ENDPOINT, else
/// ipc:///tmp/zorv_label_manager.socket) and adds `topic` (a prefix of the
/// topics "pkgid", "oid", "sid", "tid", "inheritflag", "package", "label",
/// "system"; "" for all) to its filter. Only a socket file of root's or the
/// caller's that no other user can have put in place is connected to; until
/// there is one, recvLabelChangeMsg waits for it. @return 0 on success, -1 on
/// failure (logged). One thread at a time per handle.
ZORV_API int subscribeLabelChangeMsg(void* handle, const std::string& topic);
/// Blocks until a notification arrives and stores a malloc'ed, NUL-terminated
/// copy of its payload in *msg (free it with free). The payload may itself
/// hold NUL bytes. @return 0 on success, -1 on failure (logged, *msg untouched
/// unless the copy could not be allocated, then it is null). One thread at a
/// time per handle.
ZORV_API int recvLabelChangeMsg(void* handle, char** msg);
/// As recvLabelChangeMsg(), but waits at most timeoutMs milliseconds (a
/// negative value: without limit) for a notification. @return 0 received (in
/// *msg), 1 none arrived in time (*msg untouched), -1 on failure (logged). One
/// thread at a time per handle.
ZORV_API int recvLabelChangeMsgWithin(void* handle, char** msg, int timeoutMs);

#endif  // ZORV_NOTIFY_HPP
