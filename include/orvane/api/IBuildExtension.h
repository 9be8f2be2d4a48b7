// IBuildExtension: an optional behaviour a caller attaches to a builder; back
// ends recognise it by Name() and accept or refuse it.
#pragma once

#include <string_view>

#include "orvane/core/NoCopyable.h"

namespace orvane::api {

class IBuildExtension : public core::NoCopyable {
  public:
    virtual ~IBuildExtension() = default;
    virtual std::string_view Name() const = 0;
};

}  // namespace orvane::api
