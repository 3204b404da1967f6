// Writing the export document, in one snapshot of the store and in the one
// order that makes an export of an import give the same bytes again.
#include <nlohmann/json.hpp>

#include <cinttypes>
#include <cstdio>

#include "store_transfer.h"
#include "transfer_format.h"
#include "wire.h"

namespace zorvd {

namespace {

using zorv::protocol::AttributeInfo;
using zorv::protocol::ValueKind;

std::string hex16(uint64_t v) {
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, v);
    return text;
}

std::string identifierText(uint64_t a, uint64_t b, uint64_t c) { return hex16(a) + "-" + hex16(b) + "-" + hex16(c); }

// `what` (and the package it belongs to) name the value in the error text;
// the value itself never goes there: it is not valid UTF-8, which the bus
// would refuse.
std::string quoted(const std::string& text, const std::string& what, uint64_t package = 0) {
    try {
        return nlohmann::json(text).dump();
    } catch (const nlohmann::json::exception&) {
        throw CallError(DBUS_ERROR_FAILED,
                        what + (package ? " of package " + hex16(package) : "") + " in the store is not valid UTF-8");
    }
}

// A recorded value in the form of its attribute's kind.
std::string valueText(const AttributeInfo& info, const ZORV_ID& v) {
    switch (info.kind) {
        case ValueKind::Identifier: return "\"" + identifierText(v.pkg_id, v.file_id, v.path_id) + "\"";
        case ValueKind::Number64: return "\"" + hex16(v.pkg_id) + "\"";
        case ValueKind::Number32: break;
    }
    return std::to_string(v.pkg_id);
}

// Writes `open`, then each item on a line of its own, then the closing bracket.
class List {
public:
    List(DescriptorWriter& out, const std::string& open) : out_(out) { out_.write(open); }
    void item(const std::string& text) {
        out_.write(first_ ? "\n" : ",\n");
        out_.write(text);
        first_ = false;
    }
    void close(const char* bracket) {
        if (!first_) out_.write("\n");
        out_.write(bracket);
    }

private:
    DescriptorWriter& out_;
    bool first_ = true;
};

}  // namespace

TransferCounts exportStore(Store& records, DescriptorWriter& out) {
    Store::Snapshot snapshot(records);
    TransferCounts counts = noneTransferred();
    out.write(std::string("{\"format\":\"") + kTransferFormat + "\",\"version\":" + std::to_string(kTransferVersion) +
              ",\n");

    for (ObjectKind kind : {ObjectKind::Device, ObjectKind::KernelModule}) {
        const bool device = kind == ObjectKind::Device;
        List list(out, device ? "\"devices\":[" : ",\n\"modules\":[");
        records.forEachObject(kind, [&](const std::string& name, uint64_t oid) {
            list.item(std::string("{\"") + (device ? "device" : "module") +
                      "\":" + quoted(name, device ? "a device name" : "a module name") + ",\"oid\":\"" + hex16(oid) +
                      "\"}");
            ++counts[device ? "devices" : "modules"];
        });
        list.close("]");
    }

    {
        List packages(out, ",\n\"packages\":[");
        bool open = false, anyFile = false;
        uint64_t current = 0;
        // Closes the list of files of the package before.
        auto closeFiles = [&] {
            if (anyFile) out.write("\n");
            if (open) out.write("]}");
        };
        records.forEachPackageWithFiles(
            [&](uint64_t id, const std::string& name) {
                closeFiles();
                packages.item("{\"pkg_id\":\"" + hex16(id) + "\",\"name\":" + quoted(name, "the name", id) +
                              ",\"files\":[");
                open = true;
                anyFile = false;
                current = id;
                ++counts["packages"];
            },
            [&](const std::string& path, uint32_t type) {
                out.write(anyFile ? ",\n" : "\n");
                out.write("{\"path\":" + quoted(path, "a file", current) + ",\"type\":" + std::to_string(type) + "}");
                anyFile = true;
                ++counts["files"];
            });
        closeFiles();
        packages.close("]");
    }

    out.write(",\n\"records\":{");
    for (std::size_t i = 0; i < kRecordSections; ++i) {
        const AttributeInfo& info = sectionAttribute(i);
        List list(out, std::string(i ? ",\n\"" : "\n\"") + info.name + "\":[");
        const std::string pathWhat = std::string("a path of the ") + info.name + " records";
        records.forEachUserSet(storedAttribute(info), nullptr, false, [&](const std::string& path, const ZORV_ID& v) {
            list.item("{\"path\":" + quoted(path, pathWhat) + ",\"" + info.valueKey + "\":" + valueText(info, v) +
                      "}");
            ++counts["records"];
        });
        list.close("]");
    }
    out.write("\n}}\n");
    out.flush();
    return counts;
}

}  // namespace zorvd
