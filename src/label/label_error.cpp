#include <zorv/label.hpp>

LabelError::LabelError(int32_t code, const std::string& message) : std::runtime_error(message), code(code) {}

// Defined here so that the type information and virtual table live in the
// library, where callers catching LabelError by type find them.
LabelError::~LabelError() = default;
