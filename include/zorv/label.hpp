/// @file
/// Label model of libzorvlabelmgr: the identifier triple, a file's label
/// record with its binary and text forms, and its storage in the extended
/// attribute "security.zorv". Works locally; nothing here talks to the service.
/// Thread safety: the classes keep no shared state; distinct objects may be
/// used from any threads, one object from one thread at a time.
#ifndef ZORV_LABEL_HPP
#define ZORV_LABEL_HPP

#include <zorv/export.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

/// Identifier triple of a labelled object. Its compact binary form is 8, 16 or
/// 24 bytes (each number little-endian; file_id and path_id are left out when
/// 0); its text form is exactly 50 characters:
/// "pppppppppppppppp-ffffffffffffffff-hhhhhhhhhhhhhhhh" in lower-case hex.
/// No operation throws for bad input: failures are logged and reported as a
/// null pointer or the all-zero Id. Per object.
class ZORV_API Id {
public:
    /// The all-zero identifier.
    Id() = default;
    /// The identifier (pkg, file, path).
    Id(uint64_t pkg, uint64_t file, uint64_t path) : pkg_id(pkg), file_id(file), path_id(path) {}

    /// Length of the compact form: 8, 16 or 24.
    size_t serializedSize();
    /// Writes the compact form at buf and returns the position just past it, so
    /// that several identifiers can be chained into one buffer. Returns null
    /// when buf is null or len is smaller than serializedSize().
    unsigned char* toBytes(unsigned char* buf, size_t len);
    /// As toBytes(buf, len), trusting that buf has room for serializedSize()
    /// bytes; null when buf is null.
    unsigned char* toBytes(unsigned char* buf);
    /// The compact form does not say which numbers it holds (only a label's
    /// state byte does), so it cannot be decoded alone: always the all-zero Id.
    static Id fromBytes(const unsigned char* data);

    /// The 50-character text form.
    std::string toString() const;
    /// Parses the 50-character text form (hex digits of either case); the
    /// all-zero Id when the text is malformed.
    static Id fromString(const std::string& text);

    uint64_t pkg_id = 0;   ///< package identifier
    uint64_t file_id = 0;  ///< file identifier
    uint64_t path_id = 0;  ///< path identifier
};

/// Identifiers are equal when their three numbers are.
inline bool operator==(const Id& a, const Id& b) {
    return a.pkg_id == b.pkg_id && a.file_id == b.file_id && a.path_id == b.path_id;
}
/// Identifiers differ when any of their numbers does.
inline bool operator!=(const Id& a, const Id& b) { return !(a == b); }

/// The exception of the label model. Codes: 1 bad input to a decoder, 4 file
/// does not exist, 5 attribute could not be set or read, 6 attribute empty,
/// 7 file system without extended attributes, 12 serialised size wrong,
/// 13 binary decoding failed (the only code that reaches callers, from
/// Label::deserializeFromBuffer).
class ZORV_API LabelError : public std::runtime_error {
public:
    /// An error of `code` with the text `message`.
    LabelError(int32_t code, const std::string& message);
    ~LabelError() override;

    int32_t code;  ///< one of the codes above
};

/// The security label of one file. Binary form (25 to 81 bytes, stored in the
/// extended attribute "security.zorv"): the compact forms of oid_, sid_ and
/// creatorOid_, then tid_ and inheritFlag_ as 4 little-endian bytes each when
/// not 0, then a state byte saying which optional numbers are present. Text
/// form: "oid:tid:sid:inheritFlag:creatorOid", numbers in decimal. Per object.
class ZORV_API Label {
public:
    /// Length of the binary form.
    size_t serializedBufferSize();
    /// Writes the binary form; the number of bytes written, or 0 (logged) when
    /// buf is null or len is too small.
    size_t serializeToBuffer(unsigned char* buf, size_t len);
    /// Reads the binary form into this label and returns a copy of it. Numbers
    /// that the form leaves out keep their values. On bad input throws
    /// LabelError (code 13) and leaves this label unchanged.
    Label deserializeFromBuffer(const unsigned char* buf, size_t len);

    /// The text form, or "" on failure.
    std::string toString();
    /// Parses the text form; the all-zero label (logged) when the text is
    /// malformed or the inherit flag is not 0, 5 or 7.
    static Label fromString(const std::string& text);

    /// Stores the binary form in "security.zorv" of path (of a symbolic link
    /// itself when noFollow); needs CAP_SYS_ADMIN. @return 0 stored, -1 a
    /// LabelError was logged (no such file, no extended attributes, refused),
    /// -2 another error (such as a failed status query) was logged.
    int setToXattr(const std::string& path, const bool& noFollow);
    /// Reads "security.zorv" of path (of a symbolic link itself when
    /// noFollow) into this label. @return 0 read, -1 otherwise; an absent
    /// attribute is logged at debug level only.
    int getFromXattr(const std::string& path, const bool& noFollow);

    Id oid_;                    ///< object identifier
    Id sid_;                    ///< subject identifier
    Id creatorOid_;             ///< the object identifier recorded as the file's creator
    uint32_t tid_ = 0;          ///< type identifier; 0: none
    uint32_t inheritFlag_ = 0;  ///< inherit flag: 0, 5 or 7
};

/// Labels are equal when all their fields are.
inline bool operator==(const Label& a, const Label& b) {
    return a.oid_ == b.oid_ && a.sid_ == b.sid_ && a.creatorOid_ == b.creatorOid_ && a.tid_ == b.tid_ &&
           a.inheritFlag_ == b.inheritFlag_;
}
/// Labels differ when any field does.
inline bool operator!=(const Label& a, const Label& b) { return !(a == b); }

/// `size` bytes at `data` as two lower-case hex digits each, no separators.
/// Thread-safe.
ZORV_API std::string bytesToHexString(const unsigned char* data, size_t size);

#endif  // ZORV_LABEL_HPP
