#include "orvane/api/Options.h"

#include <sstream>

namespace orvane::api {

std::string OptionValueToString(const OptionValue& value) {
    switch (value.index()) {
        case 0:
            return std::to_string(std::get<int64_t>(value));
        case 1: {
            std::ostringstream os;
            os << std::get<double>(value);
            return os.str();
        }
        case 2:
            return std::get<bool>(value) ? "true" : "false";
        default:
            return "\"" + std::get<std::string>(value) + "\"";
    }
}

}  // namespace orvane::api
