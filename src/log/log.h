// Internal logging shorthands: every line names the calling function and line.
#pragma once

#include <zorv/log.hpp>

namespace zorv {
// The category through which Logger::always writes.
constexpr const char* kAlwaysCategory = "INFO";
}  // namespace zorv

#define ZLOG_DEBUG(...) ::Logger::getInstance().debug(__func__, __LINE__, __VA_ARGS__)
#define ZLOG_INFO(...) ::Logger::getInstance().info(__func__, __LINE__, __VA_ARGS__)
#define ZLOG_WARN(...) ::Logger::getInstance().warn(__func__, __LINE__, __VA_ARGS__)
#define ZLOG_ERROR(...) ::Logger::getInstance().error(__func__, __LINE__, __VA_ARGS__)
#define ZLOG_ALWAYS(...) ::Logger::getInstance().always(__func__, __LINE__, __VA_ARGS__)

// For shared code that logs on behalf of an exported function: the line then
// names that function rather than the helper.
#define ZLOG_ERROR_FOR(func, ...) ::Logger::getInstance().error(func, __LINE__, __VA_ARGS__)
#define ZLOG_DEBUG_FOR(func, ...) ::Logger::getInstance().debug(func, __LINE__, __VA_ARGS__)
#define ZLOG_INFO_FOR(func, ...) ::Logger::getInstance().info(func, __LINE__, __VA_ARGS__)
#define ZLOG_WARN_FOR(func, ...) ::Logger::getInstance().warn(func, __LINE__, __VA_ARGS__)
#define ZLOG_ALWAYS_FOR(func, ...) ::Logger::getInstance().always(func, __LINE__, __VA_ARGS__)
