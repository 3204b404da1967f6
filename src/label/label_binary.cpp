// The binary form of a label: what the extended attribute holds and other
// programs read, so its layout never changes.
#include "label/compact_id.h"
#include "label/debug_enabled.h"
#include "label/hex.h"
#include "label/label_format.h"
#include "log/log.h"

namespace {

using namespace zorv::label;

unsigned char stateByte(const Label& label) {
    unsigned char state = 0;
    if (label.oid_.file_id != 0) state |= kOidFile;
    if (label.oid_.path_id != 0) state |= kOidPath;
    if (label.tid_ != 0) state |= kTid;
    if (label.sid_.file_id != 0) state |= kSidFile;
    if (label.sid_.path_id != 0) state |= kSidPath;
    if (label.inheritFlag_ != 0) state |= kInheritFlag;
    if (label.creatorOid_.file_id != 0) state |= kCreatorFile;
    if (label.creatorOid_.path_id != 0) state |= kCreatorPath;
    return state;
}

// Walks the fields of a binary form from its start up to its state byte.
class FieldReader {
public:
    FieldReader(const unsigned char* begin, const unsigned char* stateByte) : next_(begin), end_(stateByte) {}

    template <typename T>
    void read(T& field) {
        if (static_cast<size_t>(end_ - next_) < sizeof(T)) {
            throw LabelError(kBadInput, "Buffer too small for required data");
        }
        field = loadLittleEndian<T>(next_);
        next_ += sizeof(T);
    }

    template <typename T>
    void readIf(bool present, T& field) {
        if (present) read(field);
    }

    void readId(Id& id, unsigned char state, unsigned char fileBit, unsigned char pathBit) {
        read(id.pkg_id);
        readIf(state & fileBit, id.file_id);
        readIf(state & pathBit, id.path_id);
    }

private:
    const unsigned char* next_;
    const unsigned char* end_;
};

}  // namespace

size_t Label::serializedBufferSize() {
    return compactIdSize(oid_) + compactIdSize(sid_) + compactIdSize(creatorOid_) + (tid_ != 0 ? 4 : 0) +
           (inheritFlag_ != 0 ? 4 : 0) + 1;
}

size_t Label::serializeToBuffer(unsigned char* buf, size_t len) {
    try {
        if (buf == nullptr) {
            ZLOG_ERROR("Buffer pointer is null");
            return 0;
        }
        size_t required = serializedBufferSize();
        if (required > len) {
            ZLOG_ERROR("Buffer size is insufficient. Required: %zu, provided: %zu", required, len);
            return 0;
        }
        // The identifiers one after another, each in its compact form.
        unsigned char* out = writeCompactId(buf, oid_);
        out = writeCompactId(out, sid_);
        out = writeCompactId(out, creatorOid_);
        const unsigned char* tid = out;
        if (tid_ != 0) out = storeLittleEndian(out, tid_);
        if (inheritFlag_ != 0) out = storeLittleEndian(out, inheritFlag_);
        *out++ = stateByte(*this);
        if (debugEnabled()) {
            if (tid_ != 0) ZLOG_DEBUG("Serialized tid_: %s", HexText<4>(tid, 4).text);
            ZLOG_DEBUG("Serialized state: %s", HexText<1>(out - 1, 1).text);
        }
        return static_cast<size_t>(out - buf);
    } catch (const std::exception& e) {
        ZLOG_ERROR("Label serialization failed: %s", e.what());
        return 0;
    }
}

Label Label::deserializeFromBuffer(const unsigned char* buf, size_t len) {
    try {
        if (buf == nullptr) throw LabelError(kBadInput, "Buffer pointer is null");
        if (len < kMinLabelSize || len > kMaxLabelSize) throw LabelError(kBadInput, "Buffer size is invalid");
        const unsigned char state = buf[len - 1];
        const bool debug = debugEnabled();
        if (debug) ZLOG_DEBUG("Label deserialization: state: %02x", state);

        // Decoded into a copy so that a failure part-way leaves this label as
        // it was; numbers the form leaves out keep their current values.
        Label decoded = *this;
        FieldReader reader(buf, buf + len - 1);
        reader.readId(decoded.oid_, state, kOidFile, kOidPath);
        reader.readId(decoded.sid_, state, kSidFile, kSidPath);
        reader.readId(decoded.creatorOid_, state, kCreatorFile, kCreatorPath);
        if (state & kTid) {
            reader.read(decoded.tid_);
            if (debug) ZLOG_DEBUG("Label deserialization: tid: %08lx", static_cast<unsigned long>(decoded.tid_));
        }
        reader.readIf(state & kInheritFlag, decoded.inheritFlag_);
        *this = decoded;
        return decoded;
    } catch (const std::exception& e) {
        throw LabelError(kDecodeFailed, std::string("Label deserialization failed: ") + e.what());
    }
}
