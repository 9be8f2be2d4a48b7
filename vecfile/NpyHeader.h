// NpyHeader: the parts of a .npy header dictionary the vector file reader needs,
// and the parser of that Python literal dictionary, for example
// "{'descr': '<f4', 'fortran_order': False, 'shape': (1000, 64), }".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "orvane/core/Result.h"

namespace orvane::tools {

struct NpyHeader {
    std::string descr;
    bool fortranOrder = false;
    std::vector<uint64_t> shape;
};

// InvalidArgument "malformed .npy header: ..." unless the text is a dictionary with
// exactly the keys 'descr', 'fortran_order' and 'shape'.
core::Result<NpyHeader> ParseNpyHeader(std::string_view text);

}  // namespace orvane::tools
