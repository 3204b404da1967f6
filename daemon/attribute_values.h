// The values of the five per-path attributes as calls carry them: how each
// travels, what the audit trail shows of it, the value that tells a caller
// there is none, and which values may be recorded. The attributes themselves
// (their members, kinds and recordable ranges) come from the protocol's
// attribute table.
#pragma once

#include <zorv/labelmgr.hpp>

#include <optional>
#include <string>

#include "protocol/attributes.h"
#include "store.h"
#include "wire.h"

namespace zorvd {

using AttributeInfo = zorv::protocol::AttributeInfo;

ZORV_ID readValue(const AttributeInfo& a, Reader& in);
void writeValue(const AttributeInfo& a, Writer& out, const ZORV_ID& v);

// A value as the audit trail shows it: decimal, or an identifier's text form;
// empty when there is none.
std::string valueText(const AttributeInfo& a, const std::optional<ZORV_ID>& v);

// The reply that tells the caller there is no value.
ZORV_ID failureValue(const AttributeInfo& a);

// Throws CallError (InvalidArgs) for a value that could not be told from the
// failure value, or that a label cannot hold.
void checkValue(const AttributeInfo& a, const ZORV_ID& v);

// The attribute as `label` holds it; a label without a TID has none to give.
std::optional<ZORV_ID> valueInLabel(const AttributeInfo& a, const Label& label);

}  // namespace zorvd
