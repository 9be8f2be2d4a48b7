// Typed readers of process environment variables. The *Or variants never fail:
// they return the default when the variable is unset or does not parse.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "orvane/core/Result.h"

namespace orvane::util {

core::Result<std::string> GetEnvString(std::string_view name);
std::string GetEnvStringOr(std::string_view name, std::string def);

core::Result<bool> GetEnvBool(std::string_view name);
bool GetEnvBoolOr(std::string_view name, bool def);

core::Result<uint64_t> GetEnvU64(std::string_view name);
uint64_t GetEnvU64Or(std::string_view name, uint64_t def);

core::Result<int64_t> GetEnvI64(std::string_view name);
int64_t GetEnvI64Or(std::string_view name, int64_t def);

core::Result<uint32_t> GetEnvU32(std::string_view name);
uint32_t GetEnvU32Or(std::string_view name, uint32_t def);

}  // namespace orvane::util
